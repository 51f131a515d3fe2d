// Placeholder until the CT-BCS menu is built.
#include "ct/ctbcs.h"

std::int32_t nCtbcsVal = 0;

void CtbcsHandler() {}
void DisplayCtbcsMenu() {}
void Ct_Info() {}
void Icc_Status() {}
void Request_Icc() {}
void Eject_Icc() {}
