#include <cstdio>
#include <cstring>
#include <string>

namespace {

int usage() {
    std::fprintf(stderr, "usage: quorlinth-cli COMMAND [ARGS...]\n"
                         "commands:\n"
                         "  version    print the version\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    std::string command = argv[1];
    if (command == "version") {
        std::printf("quorlinth-cli 0.1.0\n");
        return 0;
    }
    return usage();
}
