// OrvaneSystemDx: monitoring station for satellite MES traffic.
#include "app/dialog/OrvaneSystemApp.h"

int main(int argc, char** argv) {
    return RunOrvaneSystem(argc, argv);
}
