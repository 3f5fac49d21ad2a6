// kestrin: a host program for the Kestrin library, for real serial ports and
// simulated devices.
#include "commands/tool.h"

int main(int argc, char** argv)
{
    return kestrin::runTool(argc, argv);
}
