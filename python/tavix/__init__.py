"""Pure-Python companions of the TavixHardwareAPI module, installed with it."""
