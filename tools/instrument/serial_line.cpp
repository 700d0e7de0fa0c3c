#include "instrument/serial_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Raw 8N1 at 38400: no echo, no line editing, no CR/LF translation, no flow control, so every
// byte value passes both ways unchanged.
bool setLineSettings(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

bool makeLink(const std::string& target, const std::string& linkPath, std::string& error) {
    struct stat existing {};
    if (lstat(linkPath.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
        error = linkPath + " exists and is not a symbolic link";
        return false;
    }
    // Made under a temporary name and renamed into place, so whoever watches for the link never
    // finds it half made or pointing at an earlier run's terminal.
    std::string temporary = linkPath + ".new";
    unlink(temporary.c_str());
    if (symlink(target.c_str(), temporary.c_str()) != 0) {
        error = systemError("cannot make link " + temporary);
        return false;
    }
    if (rename(temporary.c_str(), linkPath.c_str()) != 0) {
        error = systemError("cannot move link to " + linkPath);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool isGoneOrEmpty(int error) {
    // EIO: a pseudo-terminal whose other end has been closed.
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == EIO;
}

} // namespace

bool openPseudoTerminal(SerialLine& line, const std::string& linkPath, std::string& error) {
    line = SerialLine{-1, true, "", ""};
    int fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = systemError("cannot create a pseudo-terminal");
        return false;
    }
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname(fd) == nullptr) {
        error = systemError("cannot unlock the pseudo-terminal");
        close(fd);
        return false;
    }
    line.fd = fd;
    line.peerPath = ptsname(fd);
    // Settings made through this end apply to the other end, which the driver opens later.
    if (!setLineSettings(fd)) {
        error = systemError("cannot set the line settings of " + line.peerPath);
        closeLine(line);
        return false;
    }
    // A pseudo-terminal whose other end was never opened looks the same as one in use. Opening
    // and closing it once puts it in the hung-up state, so the first real open shows as the line
    // coming up.
    int peer = open(line.peerPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (peer >= 0) {
        close(peer);
    }
    if (!linkPath.empty()) {
        if (!makeLink(line.peerPath, linkPath, error)) {
            closeLine(line);
            return false;
        }
        line.linkPath = linkPath;
    }
    return true;
}

bool openSerialDevice(SerialLine& line, const std::string& path, std::string& error) {
    line = SerialLine{-1, false, path, ""};
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        error = systemError("cannot open " + path);
        return false;
    }
    line.fd = fd;
    if (!setLineSettings(fd)) {
        error = systemError("cannot set 38400 8N1 on " + path);
        closeLine(line);
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    return true;
}

bool lineIsUp(const SerialLine& line) {
    if (!line.pseudoTerminal) {
        return true;
    }
    pollfd query{line.fd, POLLIN, 0};
    return poll(&query, 1, 0) >= 0 && (query.revents & POLLHUP) == 0;
}

long readLine(SerialLine& line, uint8_t* bytes, size_t capacity) {
    ssize_t count = read(line.fd, bytes, capacity);
    if (count >= 0) {
        return static_cast<long>(count);
    }
    return isGoneOrEmpty(errno) ? 0 : -1;
}

long writeLine(SerialLine& line, const uint8_t* bytes, size_t count) {
    ssize_t written = write(line.fd, bytes, count);
    if (written >= 0) {
        return static_cast<long>(written);
    }
    return isGoneOrEmpty(errno) ? 0 : -1;
}

void closeLine(SerialLine& line) {
    if (!line.linkPath.empty()) {
        // Left alone if a later run has pointed it at its own terminal meanwhile.
        char target[4096];
        ssize_t length = readlink(line.linkPath.c_str(), target, sizeof target - 1);
        if (length >= 0 && line.peerPath == std::string(target, static_cast<size_t>(length))) {
            unlink(line.linkPath.c_str());
        }
        line.linkPath.clear();
    }
    if (line.fd >= 0) {
        close(line.fd);
        line.fd = -1;
    }
}
