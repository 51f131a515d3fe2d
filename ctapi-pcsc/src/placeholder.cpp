#include <cstdint>
#include <ctapi.h>
extern "C" std::int8_t CT_init(std::uint16_t, std::uint16_t) { return ERR_CT; }
extern "C" std::int8_t CT_data(std::uint16_t, std::uint8_t*, std::uint8_t*, std::uint16_t, std::uint8_t*, std::uint16_t*, std::uint8_t*) { return ERR_CT; }
extern "C" std::int8_t CT_close(std::uint16_t) { return ERR_CT; }
