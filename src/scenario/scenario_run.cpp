// Placeholder until the scenario run is built.
#include "scenario/scenario_run.h"

int OnTransmit(int) { return 0; }
void CTRunScenario() {}
