// orvane-station: the monitoring station without a window, for servers and
// services. Built without a toolkit; OrvaneSystemDx is the same station with
// its dialog.
#include "app/program/StationProgram.h"

int main(int argc, char** argv) {
    return RunHeadlessStation(argc, argv);
}
