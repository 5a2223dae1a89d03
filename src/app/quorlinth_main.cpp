#include "app/VirtualDisplayChild.h"
#include "log/MacLog.h"
#include "log/MachineFacts.h"
#include "log/X11DisplayFacts.h"

#include <cstdio>

// The windowed application arrives with the interface; until then the program serves as the
// virtual-display child and otherwise writes the machine description to the log and names itself.
int main(int argc, char** argv) {
    if (auto status = quorlinth::runVirtualDisplayChildIfAsked(argc, argv)) return *status;
    quorlinth::setDisplayFactsSource(quorlinth::queryX11DisplayFacts);
    quorlinth::MacLog::shared().log(quorlinth::MacLog::environmentLine());
    std::printf("quorlinth 0.1.0\n");
    return 0;
}
