#include <cstdio>
#include <cstring>

#include "CBrevaneApp.h"
#include "platform/VersionNote.h"

int main(int argc, char** argv) {
    // Answered before any window system is needed.
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--version")) {
            const std::string version = platform::ProductVersionOfRunningProgram();
            std::printf("brevane %s\n", version.empty() ? "(version unknown)" : version.c_str());
            return 0;
        }
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::printf("usage: brevane [--version] [--help] [Qt options]\n"
                        "The desktop program: search for instruments and manage their identity images.\n"
                        "The search list and the window geometry are kept in the user's configuration\n"
                        "directory ($XDG_CONFIG_HOME/brevane/brevane.conf). See also brevane-cli(1).\n");
            return 0;
        }
    }
    CBrevaneApp app(argc, argv);
    if (!app.InitInstance()) return 1;
    return app.exec();
}
