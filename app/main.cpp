// Lumsift's entry point: hands its arguments to the application main and nothing else.
#include "app/MainInterface.h"

int main(int argc, char** argv) {
    return lumsift::app::applicationMain(argc, argv);
}
