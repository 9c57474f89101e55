#include "app/appcontext.h"

AppContext* AppContext::instance()
{
    // Deliberately leaked: workers may still reach it while the process unwinds.
    static AppContext* context = new AppContext;
    return context;
}
