#include "app/startup.h"

int main(int argc, char** argv)
{
    return kvq::runMainProgram(argc, argv);
}
