// The virtual-display child through the application's own entry, as a program of its own so the
// capture tests can start it without the windowed application.
#include "app/VirtualDisplayChild.h"

int main(int argc, char** argv) {
    return quorlinth::runVirtualDisplayChildIfAsked(argc, argv).value_or(2);
}
