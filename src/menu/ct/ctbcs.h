// The CT-BCS command menu.
#pragma once

#include <cstdint>

extern std::int32_t nCtbcsVal;

void CtbcsHandler();
void DisplayCtbcsMenu();
void Ct_Info();
void Icc_Status();
void Request_Icc();
void Eject_Icc();
