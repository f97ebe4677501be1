#include "ReadDriver.h"

#include <unistd.h>

namespace win32layer {

SharedSocket::~SharedSocket()
{
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace win32layer
