// A reader driver for the test bed: no card ever, but a feature list for the control request.
// Two features, each a tag, a length of 4 and a big-endian control code.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include <algorithm>
#include <array>
#include <cstdint>

namespace {

constexpr DWORD kVerifyPinCode = SCARD_CTL_CODE(3500);
constexpr DWORD kModifyPinCode = SCARD_CTL_CODE(3501);

constexpr void PutFeature(std::array<UCHAR, 12>& out, std::size_t at, UCHAR tag, DWORD code) {
    out[at] = tag;
    out[at + 1] = 4;
    for (std::size_t i = 0; i < 4; ++i) {
        out[at + 2 + i] = static_cast<UCHAR>(code >> (8 * (3 - i)));
    }
}

constexpr std::array<UCHAR, 12> Features() {
    std::array<UCHAR, 12> out{};
    PutFeature(out, 0, FEATURE_VERIFY_PIN_DIRECT, kVerifyPinCode);
    PutFeature(out, 6, FEATURE_MODIFY_PIN_DIRECT, kModifyPinCode);
    return out;
}

constexpr std::array<UCHAR, 12> kFeatures = Features();

} // namespace

extern "C" {

// Serial-style (CHANNELID only) and named configurations alike: there is no device to open.
RESPONSECODE IFDHCreateChannelByName(DWORD, LPSTR) {
    return IFD_SUCCESS;
}
RESPONSECODE IFDHCreateChannel(DWORD, DWORD) {
    return IFD_SUCCESS;
}
RESPONSECODE IFDHCloseChannel(DWORD) {
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD, DWORD tag, PDWORD length, PUCHAR value) {
    switch (tag) {
    case TAG_IFD_SIMULTANEOUS_ACCESS:
    case TAG_IFD_SLOTS_NUMBER:
        if (*length < 1) {
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        }
        *length = 1;
        value[0] = 1;
        return IFD_SUCCESS;
    case TAG_IFD_THREAD_SAFE:
    case TAG_IFD_SLOT_THREAD_SAFE:
        if (*length < 1) {
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        }
        *length = 1;
        value[0] = 0;
        return IFD_SUCCESS;
    default:
        *length = 0;
        return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) {
    return IFD_ERROR_TAG;
}

RESPONSECODE IFDHSetProtocolParameters(DWORD, DWORD, UCHAR, UCHAR, UCHAR, UCHAR) {
    return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHPowerICC(DWORD, DWORD, PUCHAR, PDWORD atrLength) {
    *atrLength = 0;
    return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHTransmitToICC(DWORD, SCARD_IO_HEADER, PUCHAR, DWORD, PUCHAR, PDWORD rxLength,
                               PSCARD_IO_HEADER) {
    *rxLength = 0;
    return IFD_ICC_NOT_PRESENT;
}

RESPONSECODE IFDHControl(DWORD, DWORD code, PUCHAR, DWORD, PUCHAR rx, DWORD rxLength,
                         LPDWORD returned) {
    *returned = 0;
    if (code != CM_IOCTL_GET_FEATURE_REQUEST) {
        return IFD_ERROR_NOT_SUPPORTED;
    }
    if (rxLength < kFeatures.size()) {
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    std::copy(kFeatures.begin(), kFeatures.end(), rx);
    *returned = kFeatures.size();
    return IFD_SUCCESS;
}

RESPONSECODE IFDHICCPresence(DWORD) {
    return IFD_ICC_NOT_PRESENT;
}

} // extern "C"
