// CmdTavixEMV: end-of-line test tool for the USB smart-card reader.
// Takes no arguments; runs until Escape.
#include "control/main_loop.h"

int main() { return RunTool(); }
