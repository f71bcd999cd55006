#include "kelvane/source/wait.h"

#include <cerrno>

namespace kelvane {

KelvaneError WaitContext::stopped(WaitStop why) {
  stop = why;
  switch (why) {
    case WaitStop::timed_out:
      return KelvaneError::from_errno(ETIMEDOUT);
    case WaitStop::interrupted:
      return KelvaneError::from_errno(EINTR);
    default:
      return KelvaneError::from_errno(ECANCELED);
  }
}

}  // namespace kelvane
