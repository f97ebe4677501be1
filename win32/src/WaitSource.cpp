#include "WaitSource.h"

#include <unistd.h>

namespace win32layer {

SharedDescriptor::~SharedDescriptor()
{
    if (fd_ >= 0)
        ::close(fd_);
}

}  // namespace win32layer
