// The scenario run and its report.
#pragma once

int OnTransmit(int index);
void CTRunScenario();
