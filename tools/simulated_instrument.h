#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vennick::sim {

// The instrument's end of a pseudo-terminal. The program opens devicePath() (or the link) as
// its serial port; whatever is sent here arrives there as if from the wire.
class SimulatedInstrument {
public:
    // Opens a pseudo-terminal pair with the device side in raw mode, and points `linkPath`
    // (when given) at the device. Throws std::system_error when the system refuses.
    explicit SimulatedInstrument(std::string linkPath = {});
    ~SimulatedInstrument();

    SimulatedInstrument(const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator=(const SimulatedInstrument&) = delete;

    const std::string& devicePath() const { return devicePath_; }
    // The link when there is one, else the device.
    const std::string& path() const { return linkPath_.empty() ? devicePath_ : linkPath_; }

    // A descriptor of our own on the device side, to inspect what the program configured
    // (tcgetattr) and how much it has not read yet; -1 once released.
    int deviceFd() const { return deviceFd_; }
    // Bytes sent that the device side has not read yet (needs deviceFd()).
    int unreadBytes() const;
    // Gives up our device-side descriptor, so that the presence of a reader shows.
    void releaseDevice();
    // True while someone has the device open (only meaningful after releaseDevice()).
    bool readerPresent() const;
    // Waits up to `timeoutMs` (-1: without limit) for a reader; true when there is one.
    bool waitForReader(int timeoutMs) const;

    // Writes all of `bytes`, blocking while the reader is behind. False when the line is gone.
    bool send(std::string_view bytes);

    // Closes both ends: the reader sees the line hang up and the device disappear.
    void hangUp();
    // A fresh pair; the link (if any) now points at the new device.
    void comeBack();

private:
    void openPair();
    void pointLink();

    std::string linkPath_;
    std::string devicePath_;
    int controllerFd_ = -1;
    int deviceFd_ = -1;
};

enum class Terminator { Cr, CrLf, Lf, StxEtx };

// The bytes of one line as the instrument sends it.
std::string framedLine(std::string_view text, Terminator terminator);

}  // namespace vennick::sim
