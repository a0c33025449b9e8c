#include "RS232CFunc/port/serial_port.h"

#include "settings/ini_file.h"
#include "settings/notifier.h"
#include "settings/settings.h"

namespace vennick {

LineSettings lineSettingsFor(const Settings& settings) {
    LineSettings line;
    line.bitRate = bitRateFor(settings.bitRateIndex);
    line.dataBits = dataBitsFor(settings.dataBitsIndex);
    line.parity = parityFor(settings.parityIndex);
    line.stopBits = stopBitsFor(settings.stopBitsIndex);
    return line;
}

std::string portDeviceFor(const IniFile& ini, std::int32_t comIndex) {
    std::string mapped = ini.read("Ports", comPortName(comIndex), "");
    return mapped.empty() ? defaultPortDevice(comIndex) : mapped;
}

std::string configurePort(SerialPort& port, const LineSettings& line) {
    port.applyLineSettings(line);
    port.applyTimeouts();
    return port.problem();
}

int openPort(SerialPort& port, const std::string& device, const Settings& settings,
             Notifier& notifier, const std::function<void(const std::string&)>& showStatus) {
    const auto report = [&showStatus](const std::string& text) {
        if (showStatus) showStatus(text);
    };
    if (port.isOpen()) port.close();
    if (!port.open(device)) {
        report(port.problem());
        notifier.inform("RS232Cﾎﾟｰﾄがｵｰﾌﾟﾝできませんでした。");
        return 1;
    }
    report(configurePort(port, lineSettingsFor(settings)));
    return 0;
}

}  // namespace vennick
