// The instrument's side of COM1 for the Windows suite under Wine: a pseudo-terminal whose
// device Wine's COM1 points at (through LINK), driven by commands that the Windows tests write
// to DIR/control. Each command line is "<id> <verb> [argument]"; the answer "<id> ok [...]" or
// "<id> error <why>" goes to DIR/reply once the command has taken effect.
//
//   send TEXT   sends TEXT, with \r \n \t \\ and \xHH escapes
//   hangup      closes both ends: the port sees the line hang up and the device go
//   pull        as hangup, and LINK goes too, as when a USB adapter is pulled out
//   back        a fresh pseudo-terminal behind LINK, as when a cable is plugged in again
//   unread      how many sent bytes the port has not read yet
//   line        the line settings the port configured: speed data-bits parity stop-bits
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tools/simulated_instrument.h"

namespace {

using vennick::sim::SimulatedInstrument;

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unescaped(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            bytes += text[i];
            continue;
        }
        const char kind = text[++i];
        if (kind == 'r')
            bytes += '\r';
        else if (kind == 'n')
            bytes += '\n';
        else if (kind == 't')
            bytes += '\t';
        else if (kind == 'x' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
                 hexDigit(text[i + 2]) >= 0) {
            bytes += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
            i += 2;
        } else
            bytes += kind;
    }
    return bytes;
}

long speedOf(speed_t speed) {
    static const struct {
        speed_t code;
        long value;
    } kSpeeds[] = {{B110, 110},        {B300, 300},       {B600, 600},       {B1200, 1200},
                   {B1800, 1800},      {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
                   {B19200, 19200},    {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
                   {B230400, 230400},  {B460800, 460800}, {B921600, 921600}, {B1000000, 1000000},
                   {B2000000, 2000000}};
    for (const auto& entry : kSpeeds) {
        if (entry.code == speed) return entry.value;
    }
    return -1;
}

std::string lineSettings(const SimulatedInstrument& instrument) {
    termios settings{};
    if (instrument.deviceFd() < 0 || ::tcgetattr(instrument.deviceFd(), &settings) != 0) {
        throw std::runtime_error("no device");
    }
    const tcflag_t size = settings.c_cflag & CSIZE;
    const int dataBits = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    const char parity = (settings.c_cflag & PARENB) == 0   ? 'N'
                        : (settings.c_cflag & PARODD) != 0 ? 'O'
                                                           : 'E';
    std::ostringstream out;
    out << speedOf(cfgetospeed(&settings)) << ' ' << dataBits << ' ' << parity << ' '
        << ((settings.c_cflag & CSTOPB) != 0 ? 2 : 1);
    return out.str();
}

std::string perform(SimulatedInstrument& instrument, const std::string& link,
                    const std::string& verb, const std::string& argument) {
    if (verb == "send") {
        if (!instrument.send(unescaped(argument))) throw std::runtime_error("line is down");
        return {};
    }
    if (verb == "hangup") {
        instrument.hangUp();
        return {};
    }
    if (verb == "pull") {
        instrument.hangUp();
        std::filesystem::remove(link);
        return {};
    }
    if (verb == "back") {
        instrument.comeBack();
        return {};
    }
    if (verb == "unread") return std::to_string(instrument.unreadBytes());
    if (verb == "line") return lineSettings(instrument);
    throw std::runtime_error("unknown command " + verb);
}

// Opened for reading and writing, so that neither side ever waits for the other to open it
// and a test that goes away does not end the conversation.
int openFifo(const std::string& path) {
    ::mkfifo(path.c_str(), 0600);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot open " + path);
    return fd;
}

bool readLine(int fd, std::string& line) {
    line.clear();
    char c;
    while (::read(fd, &c, 1) == 1) {
        if (c == '\n') return true;
        line += c;
    }
    return false;
}

void writeLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("cannot answer");
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: vennick_com_peer LINK DIR\n";
        return 2;
    }
    try {
        SimulatedInstrument instrument(argv[1]);
        const std::string dir = argv[2];
        const int control = openFifo(dir + "/control");
        const int reply = openFifo(dir + "/reply");
        std::cout << instrument.devicePath() << std::endl;
        for (std::string line; readLine(control, line);) {
            std::istringstream words(line);
            std::string id, verb, argument;
            words >> id >> verb;
            std::getline(words >> std::ws, argument);
            try {
                const std::string answer = perform(instrument, argv[1], verb, argument);
                writeLine(reply, id + " ok" + (answer.empty() ? "" : " " + answer));
            } catch (const std::exception& error) {
                writeLine(reply, id + " error " + error.what());
            }
        }
    } catch (const std::exception& error) {
        std::cerr << "vennick_com_peer: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
