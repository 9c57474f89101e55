'''
USB Power Delivery on a CC line: BMC line coding, 4b5b symbols, ordered sets,
CRC check and every message of revision 3.1 with its fields.

Each packet is decoded when its line goes idle, so the decoder wakes once per
line edge and does no work per sample.
'''

from .pd import Decoder
