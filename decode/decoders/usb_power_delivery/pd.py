import json
import zlib

import sigrokdecode as srd

# 4b5b line code; the codes are written most significant bit first, the line
# carries them least significant bit first, so the table is keyed by the bits
# in line order.
_CODES = {
    '11110': 0x0, '01001': 0x1, '10100': 0x2, '10101': 0x3,
    '01010': 0x4, '01011': 0x5, '01110': 0x6, '01111': 0x7,
    '10010': 0x8, '10011': 0x9, '10110': 0xA, '10111': 0xB,
    '11010': 0xC, '11011': 0xD, '11100': 0xE, '11101': 0xF,
    '11000': 'SYNC-1', '10001': 'SYNC-2', '00110': 'SYNC-3',
    '00111': 'RST-1', '11001': 'RST-2', '01101': 'EOP',
}
SYMBOLS = {code[::-1]: value for code, value in _CODES.items()}

ORDERED_SETS = {
    ('SYNC-1', 'SYNC-1', 'SYNC-1', 'SYNC-2'): 'SOP',
    ('SYNC-1', 'SYNC-1', 'SYNC-3', 'SYNC-3'): "SOP'",
    ('SYNC-1', 'SYNC-3', 'SYNC-1', 'SYNC-3'): "SOP''",
    ('SYNC-1', 'RST-2', 'RST-2', 'SYNC-3'): "SOP'_Debug",
    ('SYNC-1', 'RST-2', 'SYNC-3', 'SYNC-2'): "SOP''_Debug",
    ('RST-1', 'RST-1', 'RST-1', 'RST-2'): 'Hard Reset',
    ('RST-1', 'SYNC-1', 'RST-1', 'SYNC-3'): 'Cable Reset',
}
RESETS = ('Hard Reset', 'Cable Reset')

CONTROL = {
    0x01: 'GOOD CRC', 0x02: 'GotoMin', 0x03: 'Accept', 0x04: 'Reject',
    0x05: 'Ping', 0x06: 'PS_RDY', 0x07: 'Get_Source_Cap', 0x08: 'Get_Sink_Cap',
    0x09: 'DR_Swap', 0x0A: 'PR_Swap', 0x0B: 'VCONN_Swap', 0x0C: 'Wait',
    0x0D: 'Soft_Reset', 0x0E: 'Data_Reset', 0x0F: 'Data_Reset_Complete',
    0x10: 'Not_Supported', 0x11: 'Get_Source_Cap_Extended', 0x12: 'Get_Status',
    0x13: 'FR_Swap', 0x14: 'Get_PPS_Status', 0x15: 'Get_Country_Codes',
    0x16: 'Get_Sink_Cap_Extended', 0x17: 'Get_Source_Info', 0x18: 'Get_Revision',
}
DATA = {
    0x01: 'Source_Capabilities', 0x02: 'Request', 0x03: 'BIST',
    0x04: 'Sink_Capabilities', 0x05: 'Battery_Status', 0x06: 'Alert',
    0x07: 'Get_Country_Info', 0x08: 'Enter_USB', 0x09: 'EPR_Request',
    0x0A: 'EPR_Mode', 0x0B: 'Source_Info', 0x0C: 'Revision',
    0x0F: 'Vendor_Defined',
}
EXTENDED = {
    0x01: 'Source_Capabilities_Extended', 0x02: 'Status', 0x03: 'Get_Battery_Cap',
    0x04: 'Get_Battery_Status', 0x05: 'Battery_Capabilities',
    0x06: 'Get_Manufacturer_Info', 0x07: 'Manufacturer_Info',
    0x08: 'Security_Request', 0x09: 'Security_Response',
    0x0A: 'Firmware_Update_Request', 0x0B: 'Firmware_Update_Response',
    0x0C: 'PPS_Status', 0x0D: 'Country_Info', 0x0E: 'Country_Codes',
    0x0F: 'Sink_Capabilities_Extended', 0x10: 'Extended_Control',
    0x11: 'EPR_Source_Capabilities', 0x12: 'EPR_Sink_Capabilities',
    0x1E: 'Vendor_Defined_Extended',
}

# Fixed annotation classes; every message kind gets a class of its own after
# them (the host colours rows by class, 61 being its "no colour").
ANN_TYPE, ANN_PREAMBLE, ANN_SOP, ANN_HEADER, ANN_DATA, ANN_CRC, ANN_EOP, \
    ANN_SYM, ANN_WARN, ANN_KCODE, ANN_RESET, ANN_PAYLOAD, ANN_NAME = range(13)
_BASE_ANNOTATIONS = (
    ('type', 'Packet type'), ('preamble', 'Preamble'), ('sop', 'Start of packet'),
    ('header', 'Header'), ('data', 'Data object'), ('crc', 'CRC'),
    ('eop', 'End of packet'), ('sym', '4b5b symbol'), ('warning', 'Warning'),
    ('kcode', 'K-code'), ('reset', 'Reset signalling'), ('payload', 'Payload'),
    ('text', 'Name'),
)
_KINDS = [('c', t, n) for t, n in sorted(CONTROL.items())] + \
    [('d', t, n) for t, n in sorted(DATA.items())] + \
    [('e', t, n) for t, n in sorted(EXTENDED.items())] + [('r', 0, 'Reserved')]
MSG_CLASS = {}
_msg_annotations = []
_cls = 13
for _kind, _t, _n in _KINDS:
    if _cls == 61:
        _msg_annotations.append(('unused61', 'Unused'))
        _cls += 1
    MSG_CLASS[(_kind, _t)] = _cls
    _msg_annotations.append(('msg_%s%02x' % (_kind, _t), _n))
    _cls += 1


def _v(value, unit, digits=2):
    return ('%.*f' % (digits, value)).rstrip('0').rstrip('.') + unit


def _yes(flag):
    return 'Yes' if flag else 'No'


def _detail(items):
    return json.dumps({'format': 'pd_detail_v1',
                       'items': [{'key': k, 'value': v} for k, v in items]},
                      separators=(',', ':'), ensure_ascii=False)


# Overload the source can carry, in % of its current (IOC) for 1 ms / 2 ms / 10 ms.
PEAK = ('100% IOC', '150%/125%/110% IOC for 1/2/10 ms', '200%/150%/125% IOC for 1/2/10 ms',
        '200%/175%/150% IOC for 1/2/10 ms')


def pdo(word, source):
    '''A power data object: short text and its fields.'''
    kind = word >> 30
    if kind == 0:
        volts = ((word >> 10) & 0x3FF) * 0.05
        amps = (word & 0x3FF) * 0.01
        text = 'Fixed %s %s (%s)' % (_v(volts, 'V'), _v(amps, 'A'), _v(volts * amps, 'W'))
        items = [('Type', 'Fixed supply'), ('Voltage', _v(volts, ' V')),
                 ('Maximum current' if source else 'Operational current', _v(amps, ' A')),
                 ('Dual-role power', _yes(word >> 29 & 1))]
        if source:
            items += [('USB suspend supported', _yes(word >> 28 & 1)),
                      ('Unconstrained power', _yes(word >> 27 & 1)),
                      ('USB communications capable', _yes(word >> 26 & 1)),
                      ('Dual-role data', _yes(word >> 25 & 1)),
                      ('Unchunked extended messages', _yes(word >> 24 & 1)),
                      ('EPR mode capable', _yes(word >> 23 & 1)),
                      ('Peak current', PEAK[word >> 20 & 3])]
        else:
            frs = ('Not supported', 'Default USB power', '1.5 A at 5 V', '3.0 A at 5 V')
            items += [('Higher capability', _yes(word >> 28 & 1)),
                      ('Unconstrained power', _yes(word >> 27 & 1)),
                      ('USB communications capable', _yes(word >> 26 & 1)),
                      ('Dual-role data', _yes(word >> 25 & 1)),
                      ('Fast role swap current', frs[word >> 23 & 3])]
        return text, items
    if kind in (1, 2):
        vmax = ((word >> 20) & 0x3FF) * 0.05
        vmin = ((word >> 10) & 0x3FF) * 0.05
        if kind == 2:
            amps = (word & 0x3FF) * 0.01
            return ('Variable %s-%s %s' % (_v(vmin, 'V'), _v(vmax, 'V'), _v(amps, 'A')),
                    [('Type', 'Variable supply'), ('Maximum voltage', _v(vmax, ' V')),
                     ('Minimum voltage', _v(vmin, ' V')),
                     ('Maximum current' if source else 'Operational current', _v(amps, ' A'))])
        watts = (word & 0x3FF) * 0.25
        return ('Battery %s-%s %s' % (_v(vmin, 'V'), _v(vmax, 'V'), _v(watts, 'W')),
                [('Type', 'Battery supply'), ('Maximum voltage', _v(vmax, ' V')),
                 ('Minimum voltage', _v(vmin, ' V')),
                 ('Maximum power' if source else 'Operational power', _v(watts, ' W'))])
    apdo = word >> 28 & 3
    if apdo == 0:
        vmax = ((word >> 17) & 0xFF) * 0.1
        vmin = ((word >> 8) & 0xFF) * 0.1
        amps = (word & 0x7F) * 0.05
        items = [('Type', 'Programmable power supply (SPR)'),
                 ('Maximum voltage', _v(vmax, ' V')), ('Minimum voltage', _v(vmin, ' V')),
                 ('Maximum current', _v(amps, ' A'))]
        if source:
            items.append(('PPS power limited', _yes(word >> 27 & 1)))
        return 'PPS %s-%s %s' % (_v(vmin, 'V'), _v(vmax, 'V'), _v(amps, 'A')), items
    if apdo == 1:
        vmax = ((word >> 17) & 0x1FF) * 0.1
        vmin = ((word >> 8) & 0xFF) * 0.1
        watts = word & 0xFF
        items = [('Type', 'Adjustable voltage supply (EPR)'),
                 ('Maximum voltage', _v(vmax, ' V')), ('Minimum voltage', _v(vmin, ' V')),
                 ('PD power', _v(watts, ' W'))]
        if source:
            items.append(('Peak current', PEAK[word >> 26 & 3]))
        return 'EPR AVS %s-%s %s' % (_v(vmin, 'V'), _v(vmax, 'V'), _v(watts, 'W')), items
    if apdo == 2:
        a15 = ((word >> 10) & 0x3FF) * 0.01
        a20 = (word & 0x3FF) * 0.01
        items = [('Type', 'Adjustable voltage supply (SPR)'),
                 ('Maximum current 9-15 V', _v(a15, ' A')),
                 ('Maximum current 15-20 V', _v(a20, ' A'))]
        if source:
            items.append(('Peak current', PEAK[word >> 26 & 3]))
        return 'SPR AVS %s/%s' % (_v(a15, 'A'), _v(a20, 'A')), items
    return 'Reserved APDO', [('Type', 'Reserved augmented PDO')]


def pdo_kind(word):
    if word is None:
        return 'fixed'
    kind = word >> 30
    if kind == 3:
        return ('pps', 'avs', 'avs', 'fixed')[word >> 28 & 3]
    return ('fixed', 'battery', 'fixed')[kind]


def rdo(word, source_pdo):
    '''A request data object, read by the kind of the PDO it asks for.'''
    position = word >> 28
    kind = pdo_kind(source_pdo)
    items = [('Object position', str(position))]
    if kind == 'pps' or kind == 'avs':
        step = 0.02 if kind == 'pps' else 0.025
        volts = ((word >> 9) & 0xFFF) * step
        amps = (word & 0x7F) * 0.05
        text = 'Request #%d %s %s %s' % (position, 'PPS' if kind == 'pps' else 'AVS',
                                          _v(volts, 'V', 3), _v(amps, 'A'))
        items += [('Request type', 'Programmable' if kind == 'pps' else 'Adjustable voltage'),
                  ('Output voltage', _v(volts, ' V', 3)), ('Operating current', _v(amps, ' A'))]
    elif kind == 'battery':
        op = ((word >> 10) & 0x3FF) * 0.25
        mx = (word & 0x3FF) * 0.25
        text = 'Request #%d %s / %s max' % (position, _v(op, 'W'), _v(mx, 'W'))
        items += [('Request type', 'Battery'), ('Operating power', _v(op, ' W')),
                  ('Maximum operating power', _v(mx, ' W'))]
    else:
        op = ((word >> 10) & 0x3FF) * 0.01
        mx = (word & 0x3FF) * 0.01
        text = 'Request #%d %s / %s max' % (position, _v(op, 'A'), _v(mx, 'A'))
        items += [('Request type', 'Fixed or variable'), ('Operating current', _v(op, ' A')),
                  ('Maximum operating current', _v(mx, ' A'))]
    if source_pdo is not None:
        items.append(('Requested PDO', pdo(source_pdo, True)[0]))
    items += [('Capability mismatch', _yes(word >> 26 & 1)),
              ('USB communications capable', _yes(word >> 25 & 1)),
              ('No USB suspend', _yes(word >> 24 & 1)),
              ('Unchunked extended messages', _yes(word >> 23 & 1)),
              ('EPR mode capable', _yes(word >> 22 & 1))]
    if word >> 26 & 1:
        text += ' [mismatch]'
    return text, items


VDM_COMMANDS = {1: 'Discover Identity', 2: 'Discover SVIDs', 3: 'Discover Modes',
                4: 'Enter Mode', 5: 'Exit Mode', 6: 'Attention'}
VDM_TYPES = ('REQ', 'ACK', 'NAK', 'BUSY')
UFP_PRODUCTS = ('Not a UFP', 'PDUSB hub', 'PDUSB peripheral', 'PSD', 'Reserved',
                'Reserved', 'Reserved', 'Reserved')
CABLE_PRODUCTS = ('Not a cable plug', 'Reserved', 'Reserved', 'Passive cable',
                  'Active cable', 'Reserved', 'VCONN-powered USB device', 'Reserved')
DFP_PRODUCTS = ('Not a DFP', 'PDUSB hub', 'PDUSB host', 'Power brick', 'Reserved',
                'Reserved', 'Reserved', 'Reserved')
CONNECTORS = ('Reserved', 'Reserved', 'USB Type-C receptacle', 'USB Type-C plug')


def vdm_header(word):
    svid = word >> 16
    if not word >> 15 & 1:
        return ('Unstructured VDM SVID:%04X' % svid,
                [('SVID', '0x%04X' % svid), ('VDM type', 'Unstructured'),
                 ('Vendor use', '0x%04X' % (word & 0x7FFF))]), None
    command = word & 0x1F
    ctype = word >> 6 & 3
    name = VDM_COMMANDS.get(command, 'SVID specific %d' % command if command >= 16 else
                            'Reserved %d' % command)
    position = word >> 8 & 7
    text = '%s %s SVID:%04X' % (VDM_TYPES[ctype], name, svid)
    if position:
        text += ' pos %d' % position
    items = [('SVID', '0x%04X' % svid), ('VDM type', 'Structured'),
             ('Structured VDM version', '%d.%d' % (1 + (word >> 13 & 3), word >> 11 & 3)),
             ('Object position', str(position)), ('Command type', VDM_TYPES[ctype]),
             ('Command', '%s (%d)' % (name, command))]
    return (text, items), (command, ctype, svid)


def vdo(index, word, vdm):
    '''The data objects after a VDM header, read by the command they answer.'''
    command, ctype, svid = vdm
    if command == 1 and ctype == 1:
        if index == 2:
            return ('ID header VID:%04X' % (word & 0xFFFF),
                    [('USB host', _yes(word >> 31 & 1)), ('USB device', _yes(word >> 30 & 1)),
                     ('Product type (UFP/cable)', '%s / %s' % (UFP_PRODUCTS[word >> 27 & 7],
                                                               CABLE_PRODUCTS[word >> 27 & 7])),
                     ('Modal operation', _yes(word >> 26 & 1)),
                     ('Product type (DFP)', DFP_PRODUCTS[word >> 23 & 7]),
                     ('Connector type', CONNECTORS[word >> 21 & 3]),
                     ('USB vendor ID', '0x%04X' % (word & 0xFFFF))])
        if index == 3:
            return 'Cert stat XID:%08X' % word, [('XID', '0x%08X' % word)]
        if index == 4:
            return ('Product PID:%04X' % (word >> 16),
                    [('USB product ID', '0x%04X' % (word >> 16)),
                     ('bcdDevice', '0x%04X' % (word & 0xFFFF))])
        return 'Product type VDO %08X' % word, [('Product type VDO', '0x%08X' % word)]
    if command == 2 and ctype == 1:
        hi, lo = word >> 16, word & 0xFFFF
        return ('SVIDs %04X %04X' % (hi, lo),
                [('SVID %d' % (2 * index - 3), '0x%04X' % hi),
                 ('SVID %d' % (2 * index - 2), '0x%04X' % lo)])
    if command == 3 and ctype == 1:
        return 'Mode %d %08X' % (index - 1, word), [('Mode %d VDO' % (index - 1), '0x%08X' % word),
                                                     ('SVID', '0x%04X' % svid)]
    return 'VDO %08X' % word, [('VDO', '0x%08X' % word)]


BIST_MODES = {5: 'BIST Carrier Mode', 8: 'BIST Test Data', 9: 'BIST Shared Test Mode Entry',
              10: 'BIST Shared Test Mode Exit'}
EPR_ACTIONS = {1: 'Enter', 2: 'Enter Acknowledged', 3: 'Enter Succeeded', 4: 'Enter Failed',
               5: 'Exit'}
EXT_CONTROL = {1: 'EPR_Get_Source_Cap', 2: 'EPR_Get_Sink_Cap', 3: 'EPR_KeepAlive',
               4: 'EPR_KeepAlive_Ack'}


def data_object(name, index, word, state):
    '''Text and fields of data object `index` (1-based) of a data message.'''
    if name == 'Source_Capabilities':
        return pdo(word, True)
    if name == 'Sink_Capabilities':
        return pdo(word, False)
    if name == 'Request':
        caps = state.get('caps') or []
        position = word >> 28
        return rdo(word, caps[position - 1] if 0 < position <= len(caps) else None)
    if name == 'EPR_Request':
        if index == 1:
            return rdo(word, state.get('epr_pdo'))
        text, items = pdo(word, True)
        return 'Requested ' + text, items
    if name == 'BIST':
        mode = word >> 28
        mode_name = BIST_MODES.get(mode, 'Reserved')
        return mode_name, [('BIST mode', '%s (%d)' % (mode_name, mode))]
    if name == 'Battery_Status':
        cap = word >> 16
        status = ('Charging', 'Discharging', 'Idle', 'Reserved')[word >> 10 & 3]
        capacity = 'Unknown' if cap == 0xFFFF else _v(cap * 0.1, ' Wh')
        return ('Battery %s %s' % (capacity.replace(' ', ''), status),
                [('Present capacity', capacity), ('Invalid battery reference', _yes(word >> 8 & 1)),
                 ('Battery present', _yes(word >> 9 & 1)), ('Charging status', status)])
    if name == 'Alert':
        flags = [n for bit, n in ((31, 'Extended alert'), (30, 'Overvoltage'),
                                  (29, 'Source input change'), (28, 'Operating condition change'),
                                  (27, 'Overtemperature'), (26, 'Overcurrent'),
                                  (25, 'Battery status change')) if word >> bit & 1]
        return ('Alert ' + (', '.join(flags) or 'none'),
                [('Type of alert', ', '.join(flags) or 'None'),
                 ('Fixed batteries', '0x%X' % (word >> 20 & 0xF)),
                 ('Hot swappable batteries', '0x%X' % (word >> 16 & 0xF)),
                 ('Extended alert event type', str(word & 0xF))])
    if name == 'Get_Country_Info':
        code = bytes([word >> 24 & 0xFF, word >> 16 & 0xFF]).decode('latin-1')
        return 'Country ' + code, [('Country code', code)]
    if name == 'Enter_USB':
        mode = ('USB 2.0', 'USB 3.2', 'USB4', 'Reserved', 'Reserved', 'Reserved', 'Reserved',
                'Reserved')[word >> 28 & 7]
        return ('Enter ' + mode,
                [('USB mode', mode), ('USB4 DRD', _yes(word >> 26 & 1)),
                 ('USB3 DRD', _yes(word >> 25 & 1)), ('Cable speed', str(word >> 21 & 7)),
                 ('Cable type', str(word >> 19 & 3)), ('Cable current', str(word >> 17 & 3)),
                 ('PCIe support', _yes(word >> 16 & 1)), ('DP support', _yes(word >> 15 & 1)),
                 ('TBT support', _yes(word >> 14 & 1)), ('Host present', _yes(word >> 13 & 1))])
    if name == 'EPR_Mode':
        action = EPR_ACTIONS.get(word >> 24, 'Reserved')
        return ('EPR %s' % action,
                [('Action', '%s (%d)' % (action, word >> 24)), ('Data', str(word >> 16 & 0xFF))])
    if name == 'Source_Info':
        return ('Source %s %s' % ('guaranteed' if word >> 31 else 'managed',
                                  _v(word & 0xFF, 'W')),
                [('Port type', 'Guaranteed capability' if word >> 31 else 'Managed capability'),
                 ('Port maximum PDP', _v(word >> 16 & 0xFF, ' W')),
                 ('Port present PDP', _v(word >> 8 & 0xFF, ' W')),
                 ('Port reported PDP', _v(word & 0xFF, ' W'))])
    if name == 'Revision':
        rev = '%d.%d' % (word >> 28, word >> 24 & 0xF)
        ver = '%d.%d' % (word >> 20 & 0xF, word >> 16 & 0xF)
        return 'Revision %s v%s' % (rev, ver), [('Revision', rev), ('Version', ver)]
    if name == 'Vendor_Defined':
        if index == 1:
            (text, items), state['vdm'] = vdm_header(word)
            return text, items
        if state.get('vdm'):
            return vdo(index, word, state['vdm'])
        return 'VDO %08X' % word, [('VDO', '0x%08X' % word)]
    return 'Data %08X' % word, [('Data object', '0x%08X' % word)]


def _le(block, at, size):
    return int.from_bytes(block[at:at + size], 'little') if len(block) >= at + size else None


_HEX8 = lambda v: '0x%02X' % v
_HEX16 = lambda v: '0x%04X' % v
_WATTS = lambda v: '%d W' % v
_IDENTITY = [('Vendor ID', 0, 2, _HEX16), ('Product ID', 2, 2, _HEX16),
             ('XID', 4, 4, lambda v: '0x%08X' % v), ('Firmware version', 8, 1, str),
             ('Hardware version', 9, 1, str)]
# Byte fields of extended data blocks: key, offset, size, format.
EXT_FIELDS = {
    'Source_Capabilities_Extended': _IDENTITY + [
        ('Voltage regulation', 10, 1, _HEX8), ('Holdup time', 11, 1, lambda v: '%d ms' % v),
        ('Compliance', 12, 1, _HEX8), ('Touch current', 13, 1, _HEX8),
        ('Peak current 1', 14, 2, _HEX16), ('Peak current 2', 16, 2, _HEX16),
        ('Peak current 3', 18, 2, _HEX16), ('Touch temperature', 20, 1, str),
        ('Source inputs', 21, 1, _HEX8), ('Batteries', 22, 1, _HEX8),
        ('Source PDP', 23, 1, _WATTS), ('EPR source PDP', 24, 1, _WATTS)],
    'Sink_Capabilities_Extended': _IDENTITY + [
        ('SKEDB version', 10, 1, str), ('Load step', 11, 1, _HEX8),
        ('Sink load characteristics', 12, 2, _HEX16), ('Compliance', 14, 1, _HEX8),
        ('Touch temperature', 15, 1, str), ('Battery info', 16, 1, _HEX8),
        ('Sink modes', 17, 1, _HEX8), ('Sink minimum PDP', 18, 1, _WATTS),
        ('Sink operational PDP', 19, 1, _WATTS), ('Sink maximum PDP', 20, 1, _WATTS),
        ('EPR sink minimum PDP', 21, 1, _WATTS), ('EPR sink operational PDP', 22, 1, _WATTS),
        ('EPR sink maximum PDP', 23, 1, _WATTS)],
    'Status': [
        ('Internal temperature', 0, 1, lambda v: 'Not supported' if v == 0 else '%d °C' % v),
        ('Present input', 1, 1, _HEX8), ('Present battery input', 2, 1, _HEX8),
        ('Event flags', 3, 1, _HEX8), ('Temperature status', 4, 1, _HEX8),
        ('Power status', 5, 1, _HEX8), ('Power state change', 6, 1, _HEX8)],
    'Get_Battery_Cap': [('Battery reference', 0, 1, str)],
    'Get_Battery_Status': [('Battery reference', 0, 1, str)],
    'Battery_Capabilities': [
        ('Vendor ID', 0, 2, _HEX16), ('Product ID', 2, 2, _HEX16),
        ('Design capacity', 4, 2, lambda v: 'Unknown' if v == 0xFFFF else _v(v * 0.1, ' Wh')),
        ('Last full charge capacity', 6, 2,
         lambda v: 'Unknown' if v == 0xFFFF else _v(v * 0.1, ' Wh')),
        ('Invalid battery reference', 8, 1, lambda v: _yes(v & 1))],
    'Get_Manufacturer_Info': [
        ('Target', 0, 1, lambda v: ('Port/cable plug', 'Battery')[v & 1]),
        ('Reference', 1, 1, str)],
    'Manufacturer_Info': [('Vendor ID', 0, 2, _HEX16), ('Product ID', 2, 2, _HEX16)],
    'PPS_Status': [
        ('Output voltage', 0, 2, lambda v: 'Not supported' if v == 0xFFFF else _v(v * 0.02, ' V', 3)),
        ('Output current', 2, 1, lambda v: 'Not supported' if v == 0xFF else _v(v * 0.05, ' A')),
        ('Real time flags', 3, 1, _HEX8)],
}


def extended_block(name, block, state):
    '''Text and fields of an extended message's data block.'''
    items = []
    text = name
    for key, at, size, fmt in EXT_FIELDS.get(name, ()):
        value = _le(block, at, size)
        if value is not None:
            items.append((key, fmt(value)))
    if name in ('Source_Capabilities_Extended', 'Sink_Capabilities_Extended'):
        vid = _le(block, 0, 2)
        if vid is not None:
            text = '%s VID:%04X' % (name, vid)
    elif name == 'Manufacturer_Info':
        if len(block) > 4:
            items.append(('Manufacturer string',
                          bytes(block[4:]).split(b'\0')[0].decode('latin-1')))
    elif name == 'Country_Codes':
        count = _le(block, 0, 1) or 0
        codes = [bytes(block[2 + 2 * i:4 + 2 * i]).decode('latin-1')
                 for i in range(count) if len(block) >= 4 + 2 * i]
        items.append(('Country codes', ' '.join(codes)))
    elif name == 'Country_Info':
        if len(block) >= 2:
            items.append(('Country code', bytes(block[0:2]).decode('latin-1')))
    elif name == 'Extended_Control':
        kind = _le(block, 0, 1)
        if kind is not None:
            text = EXT_CONTROL.get(kind, 'Extended control %d' % kind)
            items.append(('Type', '%s (%d)' % (text, kind)))
        if len(block) > 1:
            items.append(('Data', str(block[1])))
    elif name in ('EPR_Source_Capabilities', 'EPR_Sink_Capabilities'):
        words = [_le(block, 4 * i, 4) for i in range(len(block) // 4)]
        texts = []
        for i, word in enumerate(words):
            # Positions 1-7 hold the SPR offers; one left free there is zero.
            ptext = 'Unused' if word == 0 else pdo(word, name == 'EPR_Source_Capabilities')[0]
            texts.append(ptext)
            items.append(('PDO %d' % (i + 1), ptext))
        if name == 'EPR_Source_Capabilities':
            state['epr_caps'] = words
        text = '; '.join(texts) or name
    if not items:
        items.append(('Data', ' '.join('%02X' % b for b in block)))
    return text, items


def ordered_set(line, at):
    '''The ordered set whose four K-codes start at bit `at`, or None.'''
    # The whole ordered set must be on the line: a burst may end inside it.
    if at < 0 or at + 20 > len(line):
        return None
    kcodes = tuple(SYMBOLS.get(line[at + 5 * k:at + 5 * k + 5]) for k in range(4))
    sop = ORDERED_SETS.get(kcodes)
    if sop is None:
        # One damaged K-code of four is still a valid ordered set.
        for key, value in ORDERED_SETS.items():
            if sum(a == b for a, b in zip(key, kcodes)) == 3:
                return value
    return sop


def next_preamble(line, s):
    '''Where the preamble of a packet that follows at once begins, when an
    ordered set starts at about bit `s` (the preamble's alternation reads
    as data symbols up to there); else -1.'''
    if not any(ordered_set(line, at) for at in (s, s - 1, s + 1)):
        return -1
    p = s - 1
    while p > 0 and line[p - 1] != line[p]:
        p -= 1
    return p if s - p >= 16 else -1


class Decoder(srd.Decoder):
    api_version = 3
    id = 'usb_power_delivery'
    name = 'USB PD'
    longname = 'USB Power Delivery'
    desc = 'USB Power Delivery messages on a CC line.'
    license = 'gplv2+'
    inputs = ['logic']
    outputs = []
    tags = ['PC']
    channels = (
        {'id': 'cc1', 'name': 'CC1', 'desc': 'Configuration channel'},
    )
    options = (
        {'id': 'fulltext', 'desc': 'Full text of each message', 'default': 'no',
         'values': ('yes', 'no')},
    )
    annotations = _BASE_ANNOTATIONS + tuple(_msg_annotations)
    annotation_rows = (
        ('phase', 'Parts', (ANN_PREAMBLE, ANN_SOP, ANN_HEADER, ANN_DATA, ANN_CRC, ANN_EOP)),
        ('symbols', 'Symbols', (ANN_SYM, ANN_KCODE)),
        ('payload', 'Payload', (ANN_PAYLOAD,)),
        ('messages', 'Messages', (ANN_RESET, ANN_NAME) + tuple(range(13, 13 + len(_msg_annotations)))),
        ('warnings', 'Warnings', (ANN_WARN,)),
    )

    def __init__(self):
        self.reset()

    def reset(self):
        self.samplerate = None
        self.state = {}
        self.last_bit = None

    def metadata(self, key, value):
        if key == srd.SRD_CONF_SAMPLERATE:
            self.samplerate = value

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)
        self.fulltext = self.options['fulltext'] == 'yes'

    def decode(self):
        if not self.samplerate:
            raise srd.SamplerateError('Cannot decode without samplerate.')
        # The line is idle after 3 bit times (10 us) without an edge; frames
        # are at least 25 us apart.
        gap = max(int(self.samplerate * 10e-6), 4)
        first = {0: 'e'}
        more = [{0: 'e'}, {'skip': gap}]
        wait = self.wait
        while True:
            wait(first)
            edges = [self.samplenum]
            append = edges.append
            while True:
                wait(more)
                if self.matched[0]:
                    append(self.samplenum)
                else:
                    break
            if len(edges) > 40:
                self.packet(edges)

    # ---- line coding -------------------------------------------------------

    def bit_time(self, intervals):
        '''Bit time of a burst: from its preamble when it starts with one, else
        from the previous packet or the nominal 300 kbit/s.'''
        # The preamble alternates 0 and 1: three intervals span two bits, so
        # its mean interval is 2/3 of a bit; the mean (not the median) stays
        # right when a transmitter's duty cycle is uneven.
        head = intervals[1:91]
        bit = 1.5 * sum(head) / len(head)
        # A preamble: every interval is a half or a whole bit of that time,
        # in the pattern whole, half, half (0, then 1).
        line = ''.join('0' if i > 0.75 * bit else '1' for i in intervals[1:31])
        if '011011011011' in line or '110110110110' in line:
            low, high = self.samplerate / 330e3, self.samplerate / 270e3
            if 0.9 * low <= bit <= 1.1 * high:
                self.last_bit = bit
                return bit
        return self.last_bit or self.samplerate / 300e3

    def packet(self, edges):
        intervals = [b - a for a, b in zip(edges, edges[1:])]
        # The threshold between a half and a whole bit is 3/4 of a bit.
        threshold = 0.75 * self.bit_time(intervals)
        # A transmitter may drive the line once before its preamble: an edge
        # followed by more than one and a half bits of silence is not a bit.
        while intervals and intervals[0] > 2 * threshold:
            del intervals[0]
            del edges[0]
        bits = []
        starts = []
        i = 0
        n = len(intervals)
        while i < n:
            starts.append(edges[i])
            if intervals[i] > threshold:
                bits.append('0')
                i += 1
            else:
                bits.append('1')
                i += 2 if i + 1 < n and intervals[i + 1] <= threshold else 1
        # The last edge starts one more bit: a 0 that leaves the line low at
        # the end of the packet, or else the transmitter's closing edge, which
        # lies after the end of packet where nothing reads it.
        starts.append(edges[-1])
        bits.append('0')
        starts.append(edges[-1] + int(round(threshold / 0.75)))
        line = ''.join(bits)
        self.frame(line, starts)

    def frame(self, line, starts):
        # The preamble ends where the alternation breaks; the ordered set
        # starts within one bit of that. A packet whose preamble broke off
        # earlier starts with its ordered set.
        brk = line.find('00', 2)
        brk1 = line.find('11', 2)
        if brk < 0 or (0 <= brk1 < brk):
            brk = brk1
        if brk < 0:
            return
        sop = None
        for at in (brk, brk + 1, brk - 1, 0, 1):
            sop = ordered_set(line, at)
            if sop is not None:
                break
        if sop is None:
            return
        rest = self.frame_at(line, starts, at, sop)
        # A packet cut short without EOP may run straight into the preamble of
        # the next one: that one is decoded too.
        if rest is not None:
            nxt = line.find('0101010101010101', rest)
            if nxt >= 0:
                self.frame(line[nxt:], starts[nxt:])

    def frame_at(self, line, starts, at, sop):
        '''Decodes the packet whose ordered set starts at bit `at`; returns
        where its symbols stopped when it had no EOP, else None.'''
        put = self.put
        ann = self.out_ann
        put(starts[0], starts[at], ann, [ANN_PREAMBLE, ['Preamble', 'P']])
        for k in range(4):
            s = at + 5 * k
            code = SYMBOLS.get(line[s:s + 5], '?')
            put(starts[s], starts[s + 5], ann, [ANN_KCODE, [str(code)]])
        body = at + 20
        if sop in RESETS:
            put(starts[at], starts[body], ann, [ANN_RESET, [sop.upper(), sop]])
            put(starts[at], starts[body], ann, [ANN_NAME, [sop]])
            put(starts[body], starts[body], ann, [ANN_EOP, ['EOP']])
            if sop == 'Hard Reset':
                self.state = {}
            return None
        put(starts[at], starts[body], ann, [ANN_SOP, [sop, 'S']])

        # Symbols up to EOP.
        nibbles = []
        positions = []
        eop = None
        limit = len(line) - 4
        s = body
        while s < limit:
            value = SYMBOLS.get(line[s:s + 5])
            if value is None or value.__class__ is str:
                if value == 'EOP':
                    eop = s
                break
            nibbles.append(value)
            positions.append(starts[s])
            s += 5
        if eop is None:
            nxt = next_preamble(line, s)
            if nxt >= 0: # the packet was cut: its symbols end before that preamble
                keep = max(nxt - body, 0) // 5
                del nibbles[keep:]
                del positions[keep:]
                s = body + 5 * keep
        positions.append(starts[s] if s < len(starts) else starts[-1])
        count = len(nibbles)
        sym = ANN_SYM
        hexdig = '0123456789ABCDEF'
        for k in range(count):
            d = hexdig[nibbles[k]]
            put(positions[k], positions[k + 1], ann, [sym, ['0x' + d, d]])
        if count < 12 or count % 2:
            put(starts[body], positions[-1], ann, [ANN_WARN, ['Packet too short or broken']])
            if eop is not None:
                put(starts[eop], starts[min(eop + 5, len(starts) - 1)], ann, [ANN_EOP, ['EOP']])
                return None
            return s
        raw = bytes(nibbles[k] | nibbles[k + 1] << 4 for k in range(0, count, 2))
        self.message(sop, raw, positions, eop, starts)
        return None if eop is not None else s

    # ---- messages ------------------------------------------------------------

    def message(self, sop, raw, positions, eop, starts):
        put = self.put
        ann = self.out_ann
        header = raw[0] | raw[1] << 8
        body = raw[2:-4]
        crc = int.from_bytes(raw[-4:], 'little')
        good = zlib.crc32(raw[:-4]) == crc
        mtype = header & 0x1F
        count = header >> 12 & 7
        extended = header >> 15
        rev = header >> 6 & 3
        msgid = header >> 9 & 7
        put(positions[0], positions[4], ann, [ANN_HEADER, ['H:%04x' % header, 'H']])

        if extended:
            name = EXTENDED.get(mtype)
            kind = 'e'
        elif count:
            name = DATA.get(mtype)
            kind = 'd'
        else:
            name = CONTROL.get(mtype)
            kind = 'c'
        cls = MSG_CLASS[(kind, mtype)] if name else MSG_CLASS[('r', 0)]
        if not name:
            name = 'Reserved %s 0x%02X' % ({'e': 'extended', 'd': 'data', 'c': 'control'}[kind],
                                           mtype)
        if sop == 'SOP':
            source = header >> 8 & 1
            dfp = header >> 5 & 1
            role = 'SRC' if source else 'SNK'
            if dfp != source:
                role += '/DFP' if dfp else '/UFP'
        else:
            role = 'CABLE' if header >> 8 & 1 else 'PORT'
        end = positions[-1]
        if self.fulltext:
            put(positions[0], end, ann, [ANN_TYPE, ['%s %s %s' % (sop, role, name)]])
        put(starts[0], end, ann, [cls, ['(r%d) %s[%d]: %s' % (rev + 1, role, msgid, name), name]])

        state = self.state
        words = []
        if extended and len(body) >= 2:
            ext = body[0] | body[1] << 8
            put(positions[4], positions[8], ann, [ANN_HEADER, ['EH:%04x' % ext, 'EH']])
            size = ext & 0x1FF
            chunked = ext >> 15
            chunk = ext >> 11 & 0xF
            if chunked and not ext >> 10 & 1:
                # Up to 26 bytes of the data block a chunk; the block is read
                # whole on the chunk that completes it.
                part = body[2:2 + min(26, max(size - 26 * chunk, 0))]
                key = (sop, header >> 8 & 1, mtype)
                chunks = state.setdefault('chunks', {})
                if chunk == 0:
                    chunks[key] = bytearray()
                pending = chunks.get(key)
                if pending is not None and len(pending) == 26 * chunk:
                    pending += part
                    whole = len(pending) >= size
                    if whole:
                        del chunks[key]
                else:
                    chunks.pop(key, None)
                    whole = False
                block = bytes(pending) if whole else part
            else:
                whole = True
                part = block = body[2:2 + size]
            # The chunk's own bytes are shown four at a time as data items.
            first = 8
            for k in range(0, len(part), 4):
                piece = part[k:k + 4]
                a = first + 2 * k
                b = min(a + 2 * len(piece), len(positions) - 1)
                put(positions[a], positions[b], ann,
                    [ANN_DATA, ['[%d]%s' % (k // 4, piece.hex()), piece.hex()]])
                if k == 0:
                    if whole:
                        text, items = extended_block(name, block, state)
                        if chunked and chunk:
                            text += ' (chunks 0-%d)' % chunk
                    else:
                        text = '%s chunk %d: bytes %d-%d of %d' % (
                            name, chunk, 26 * chunk, 26 * chunk + len(part) - 1, size)
                        items = [('Chunk', str(chunk)), ('Data size', '%d bytes' % size),
                                 ('Bytes in this chunk', '%d-%d' % (26 * chunk,
                                                                    26 * chunk + len(part) - 1))]
                    put(positions[a], positions[b], ann, [ANN_PAYLOAD, [text, _detail(items)]])
            if not part and ext >> 10 & 1:
                put(positions[4], positions[8], ann,
                    [ANN_PAYLOAD, ['Chunk request %d' % (ext >> 11 & 0xF)]])
        else:
            for k in range(len(body) // 4):
                words.append(int.from_bytes(body[4 * k:4 * k + 4], 'little'))
            if name == 'EPR_Request' and len(words) > 1:
                state['epr_pdo'] = words[1]
            for k, word in enumerate(words):
                a = 4 + 8 * k
                put(positions[a], positions[a + 8], ann,
                    [ANN_DATA, ['[%d]%08x' % (k, word), '%08x' % word]])
                text, items = data_object(name, k + 1, word, state)
                put(positions[a], positions[a + 8], ann,
                    [ANN_PAYLOAD, ['[%d] %s' % (k + 1, text), _detail(items)]])
            if name == 'Source_Capabilities' and sop == 'SOP':
                state['caps'] = words
            if name != 'Vendor_Defined':
                state.pop('vdm', None)
            if count != len(words):
                put(positions[0], positions[4], ann,
                    [ANN_WARN, ['Header announces %d data objects, packet has %d' %
                                (count, len(words))]])

        c0 = len(positions) - 9
        put(positions[c0], positions[-1], ann, [ANN_CRC, ['CRC:%08x' % crc, 'CRC']])
        if not good:
            expected = zlib.crc32(raw[:-4])
            put(positions[c0], positions[-1], ann,
                [ANN_PAYLOAD, ['CRC error (expected %08x)' % expected]])
            put(positions[c0], positions[-1], ann, [ANN_WARN, ['CRC error']])
        if eop is not None:
            put(starts[eop], starts[min(eop + 5, len(starts) - 1)], ann, [ANN_EOP, ['EOP']])
