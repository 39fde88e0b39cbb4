#include "CBrevaneApp.h"
#include "families/net/CComm_Jessor.h"

int main(int argc, char** argv) {
    CBrevaneApp app(argc, argv);
    if (!app.InitInstance()) return 1;
    const int rc = app.exec();
    // The Jessor library's exit entry, whether or not the library was used.
    VornExit(true);
    return rc;
}
