#include "line_settings_posix.h"

#include <termios.h>

namespace q48 {

bool SetReaderLine(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
  tio.c_cflag |= CS8 | CREAD | CLOCAL;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, B115200) != 0 || cfsetospeed(&tio, B115200) != 0) return false;
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace q48
