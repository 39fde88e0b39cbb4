#include "CBrevaneApp.h"

int main(int argc, char** argv) {
    CBrevaneApp app(argc, argv);
    if (!app.InitInstance()) return 1;
    return app.exec();
}
