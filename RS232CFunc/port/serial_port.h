#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "RS232CFunc/port/port_tables.h"

namespace vennick {

class IniFile;
class Notifier;
struct Settings;

// The line parameters the stored indices turn into.
struct LineSettings {
    std::int32_t bitRate = 9600;
    int dataBits = 8;
    Parity parity = Parity::None;
    StopBits stopBits = StopBits::One;
};

LineSettings lineSettingsFor(const Settings& settings);

// One serial port. One implementation per OS (Win32 communications functions, POSIX termios).
class SerialPort {
public:
    enum class Wait { Ready, TimedOut, Failed };

    virtual ~SerialPort() = default;

    // Opens for reading and writing, without sharing, only if the device exists.
    virtual bool open(const std::string& device) = 0;
    virtual bool isOpen() const = 0;
    virtual void close() = 0;

    // Results are not examined: a driver that rejects a value keeps its previous one.
    virtual void applyLineSettings(const LineSettings& settings) = 0;
    // Read time-outs: a single-byte read waits at most 510 ms.
    virtual void applyTimeouts() = 0;

    // Bytes waiting in the driver's input queue; -1 when the port has failed.
    virtual int bytesWaiting() = 0;
    // Blocks until input is waiting, the time-out passes, or the port fails. Where the platform
    // can only wait by reading, the port's read time-outs bound the wait instead.
    virtual Wait waitForInput(int timeoutMs) = 0;
    // What is waiting, up to into.size() bytes, in one call; when nothing is waiting, waits for
    // a byte up to the read time-out and then returns 0; -1 when the port has failed.
    virtual int read(std::span<std::uint8_t> into) = 0;

    // For the status line (texts of port_problem.h): why the last open() failed, or why the
    // last applyLineSettings() could not read the line settings or which ones it could not
    // apply. Empty when there is nothing to say.
    virtual std::string problem() const { return {}; }
    // Called from another thread: a wait or read blocked in this port returns at once.
    virtual void interruptWait() {}
    // How often the driver lost received bytes (its queue or the UART overran) since the port
    // was opened; 0 where the driver keeps no such count.
    virtual std::int64_t overruns() { return 0; }
};

std::unique_ptr<SerialPort> createSerialPort();

// The device a COM index opens: the [Ports] mapping (COM1=/dev/ttyUSB0) when the INI has one,
// else "COMn" on Windows and /dev/ttyS<n-1> elsewhere.
std::string portDeviceFor(const IniFile& ini, std::int32_t comIndex);

// The device a COM index opens without a mapping (one definition per OS).
std::string defaultPortDevice(std::int32_t comIndex);

// Configures a port just opened: the line settings, then the read time-outs. Returns the
// port's problem() for the status line: empty when all went through, else why the settings
// could not be read or which ones the driver refused. The receive thread calls it after it has
// reopened a lost port, as openPort does after the first open.
std::string configurePort(SerialPort& port, const LineSettings& line);

// Closes a held port, opens `device` and configures it. 0 when open, 1 when opening failed
// (the operator has then been told "RS232Cﾎﾟｰﾄがｵｰﾌﾟﾝできませんでした。"). `showStatus` is
// given the status line's new text either way: why the open failed (before the box, so that
// it shows behind it), or what configurePort returned, empty when all went through, which
// clears what an earlier attempt said.
int openPort(SerialPort& port, const std::string& device, const Settings& settings,
             Notifier& notifier, const std::function<void(const std::string&)>& showStatus = {});

}  // namespace vennick
