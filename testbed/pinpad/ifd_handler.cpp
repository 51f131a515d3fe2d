// The PIN-pad reader driver for pcscd (IFD handler API version 3). A reader.conf entry names it
// in LIBPATH and gives DEVICENAME SCRIPT:PORT[:LOG]: the reader script, the TCP port of the
// loopback address its card connects to with vpcd's protocol, and where the event log goes.
// One copy of the driver serves any number of such entries. man/quorvane-reader.5.
extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

#include "pinpad/card_link.h"
#include "pinpad/pin_pad.h"
#include "pinpad/reader_script.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

using pinpad::Bytes;
using pinpad::ByteView;

// Readers this copy of the driver serves at once (pcscd's own limit).
constexpr UCHAR kReadersAtOnce = 16;

// Appends one line to the event log: opened for each line, so that a test reads it whenever it
// likes and several readers may share one file.
void AppendLine(const std::string& path, const std::string& line) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t written = write(fd, text.data(), text.size());
    close(fd);
}

struct Reader {
    Reader(pinpad::ReaderScript script, int port, const std::string& logPath)
        : link(port), pad(std::move(script), [logPath](const std::string& line) {
              if (!logPath.empty())
                  AppendLine(logPath, line);
          }) {}

    std::mutex mutex;
    pinpad::CardLink link;
    pinpad::PinPad pad;
    Bytes atr;
};

std::mutex readersMutex;
std::map<DWORD, std::shared_ptr<Reader>> readers;

std::shared_ptr<Reader> Find(DWORD lun) {
    const std::lock_guard lock(readersMutex);
    const auto found = readers.find(lun);
    return found == readers.end() ? nullptr : found->second;
}

void Say(const std::string& what) {
    std::fprintf(stderr, "quorvane PIN pad: %s\n", what.c_str());
}

// `bytes` into the caller's buffer of `capacity` bytes.
RESPONSECODE Give(ByteView bytes, PUCHAR out, DWORD capacity, DWORD& length) {
    if (bytes.size() > capacity) {
        length = 0;
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    std::copy(bytes.begin(), bytes.end(), out);
    length = static_cast<DWORD>(bytes.size());
    return IFD_SUCCESS;
}

RESPONSECODE GiveByte(UCHAR value, PDWORD length, PUCHAR out) {
    DWORD given = 0;
    const UCHAR bytes[] = {value};
    const RESPONSECODE rv = Give(bytes, out, *length, given);
    *length = given;
    return rv;
}

RESPONSECODE PinOperation(Reader& reader, DWORD code, ByteView structure, Bytes& answer) {
    const bool verify = code == pinpad::ControlCode(FEATURE_VERIFY_PIN_DIRECT);
    const pinpad::PinAnswer done = verify ? reader.pad.Verify(structure, reader.link)
                                          : reader.pad.Modify(structure, reader.link);
    switch (done.outcome) {
    case pinpad::PinAnswer::Outcome::NoCard:
        return IFD_ICC_NOT_PRESENT;
    case pinpad::PinAnswer::Outcome::CardLost:
        return IFD_COMMUNICATION_ERROR;
    case pinpad::PinAnswer::Outcome::Answered:
        break;
    }
    answer = done.answer;
    return IFD_SUCCESS;
}

RESPONSECODE Control(Reader& reader, DWORD code, ByteView in, Bytes& out) {
    if (code == CM_IOCTL_GET_FEATURE_REQUEST) {
        out = pinpad::PinPad::Features();
    } else if (code == pinpad::ControlCode(FEATURE_IFD_PIN_PROPERTIES)) {
        out = reader.pad.PinProperties();
    } else if (code == pinpad::ControlCode(FEATURE_GET_TLV_PROPERTIES)) {
        out = reader.pad.TlvProperties();
    } else if (code == pinpad::ControlCode(FEATURE_VERIFY_PIN_DIRECT) ||
               code == pinpad::ControlCode(FEATURE_MODIFY_PIN_DIRECT)) {
        return PinOperation(reader, code, in, out);
    } else {
        return IFD_ERROR_NOT_SUPPORTED;
    }
    return IFD_SUCCESS;
}

} // namespace

extern "C" {

RESPONSECODE IFDHCreateChannelByName(DWORD lun, LPSTR deviceName) {
    try {
        const pinpad::DeviceName name = pinpad::ParseDeviceName(deviceName);
        pinpad::ReaderScript script = pinpad::LoadReaderScript(name.script);
        const std::string log = name.log.empty() ? script.log : name.log;
        auto reader = std::make_shared<Reader>(std::move(script), name.port, log);
        const std::lock_guard lock(readersMutex);
        readers[lun] = std::move(reader);
        return IFD_SUCCESS;
    } catch (const std::exception& e) {
        Say(e.what());
        return IFD_COMMUNICATION_ERROR;
    }
}

RESPONSECODE IFDHCreateChannel(DWORD, DWORD) {
    Say("a reader.conf entry needs DEVICENAME SCRIPT:PORT (man quorvane-reader)");
    return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHCloseChannel(DWORD lun) {
    const std::lock_guard lock(readersMutex);
    readers.erase(lun);
    return IFD_SUCCESS;
}

RESPONSECODE IFDHGetCapabilities(DWORD lun, DWORD tag, PDWORD length, PUCHAR value) {
    switch (tag) {
    case TAG_IFD_SIMULTANEOUS_ACCESS:
        return GiveByte(kReadersAtOnce, length, value);
    case TAG_IFD_SLOTS_NUMBER:
        return GiveByte(1, length, value);
    case TAG_IFD_THREAD_SAFE: // each reader has a lock of its own
        return GiveByte(1, length, value);
    case TAG_IFD_SLOT_THREAD_SAFE:
        return GiveByte(0, length, value);
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: {
        const std::shared_ptr<Reader> reader = Find(lun);
        if (!reader)
            return IFD_COMMUNICATION_ERROR;
        const std::lock_guard lock(reader->mutex);
        DWORD given = 0;
        const RESPONSECODE rv = Give(reader->atr, value, *length, given);
        *length = given;
        return rv;
    }
    default:
        *length = 0;
        return IFD_ERROR_TAG;
    }
}

RESPONSECODE IFDHSetCapabilities(DWORD, DWORD, DWORD, PUCHAR) {
    return IFD_ERROR_TAG;
}

// The card speaks whatever protocol pcscd chose: vpcd's wire carries APDUs as they are.
RESPONSECODE IFDHSetProtocolParameters(DWORD lun, DWORD, UCHAR, UCHAR, UCHAR, UCHAR) {
    return Find(lun) ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
}

RESPONSECODE IFDHPowerICC(DWORD lun, DWORD action, PUCHAR atr, PDWORD atrLength) {
    const std::shared_ptr<Reader> reader = Find(lun);
    const DWORD capacity = *atrLength;
    *atrLength = 0;
    if (!reader)
        return IFD_COMMUNICATION_ERROR;
    try {
        const std::lock_guard lock(reader->mutex);
        if (action == IFD_POWER_DOWN) {
            reader->link.PowerDown();
            reader->atr.clear();
            return IFD_SUCCESS;
        }
        if (action != IFD_POWER_UP && action != IFD_RESET)
            return IFD_NOT_SUPPORTED;
        if (!reader->link.Present())
            return IFD_ICC_NOT_PRESENT;
        const std::optional<Bytes> answer = reader->link.PowerUp(action == IFD_RESET);
        if (!answer || answer->empty() || answer->size() > MAX_ATR_SIZE)
            return IFD_ERROR_POWER_ACTION;
        reader->atr = *answer;
        return Give(reader->atr, atr, capacity, *atrLength);
    } catch (const std::exception& e) {
        Say(e.what());
        return IFD_COMMUNICATION_ERROR;
    }
}

RESPONSECODE IFDHTransmitToICC(DWORD lun, SCARD_IO_HEADER, PUCHAR tx, DWORD txLength, PUCHAR rx,
                               PDWORD rxLength, PSCARD_IO_HEADER) {
    const std::shared_ptr<Reader> reader = Find(lun);
    const DWORD capacity = *rxLength;
    *rxLength = 0;
    // vpcd's wire takes a one-byte message for a control code: no APDU is that short.
    constexpr DWORD kShortestApdu = 4;
    if (!reader || txLength < kShortestApdu)
        return IFD_COMMUNICATION_ERROR;
    try {
        const std::lock_guard lock(reader->mutex);
        const std::optional<Bytes> answer = reader->link.Exchange(ByteView(tx, txLength));
        if (!answer)
            return IFD_COMMUNICATION_ERROR;
        return Give(*answer, rx, capacity, *rxLength);
    } catch (const std::exception& e) {
        Say(e.what());
        return IFD_COMMUNICATION_ERROR;
    }
}

RESPONSECODE IFDHControl(DWORD lun, DWORD code, PUCHAR tx, DWORD txLength, PUCHAR rx,
                         DWORD rxLength, LPDWORD returned) {
    const std::shared_ptr<Reader> reader = Find(lun);
    *returned = 0;
    if (!reader)
        return IFD_COMMUNICATION_ERROR;
    try {
        const std::lock_guard lock(reader->mutex);
        Bytes answer;
        const RESPONSECODE rv =
            Control(*reader, code, ByteView(tx, tx == nullptr ? 0 : txLength), answer);
        if (rv != IFD_SUCCESS)
            return rv;
        DWORD given = 0;
        const RESPONSECODE copied = Give(answer, rx, rxLength, given);
        *returned = given;
        return copied;
    } catch (const std::exception& e) {
        Say(e.what());
        return IFD_COMMUNICATION_ERROR;
    }
}

RESPONSECODE IFDHICCPresence(DWORD lun) {
    const std::shared_ptr<Reader> reader = Find(lun);
    if (!reader)
        return IFD_COMMUNICATION_ERROR;
    const std::lock_guard lock(reader->mutex);
    if (reader->link.Present())
        return IFD_ICC_PRESENT;
    reader->atr.clear();
    return IFD_ICC_NOT_PRESENT;
}

} // extern "C"
