#include "runtime/error.h"

#include <cstring>

namespace lumivane {

Error Error::system(int number) {
    Code code = Code::failed;
    switch (number) {
        case ENOENT:
        case ENOTDIR: code = Code::notFound; break;
        case EEXIST: code = Code::nameTaken; break;
        case EACCES:
        case EPERM:
        case EROFS:
        case ELOOP: code = Code::noPermission; break;
        case ECANCELED: code = Code::cancelled; break;
        case EINVAL:
        case EISDIR:
        case ENAMETOOLONG: code = Code::badInput; break;
        case ENODEV:
        case ENXIO:
        case ECONNREFUSED:
        case EHOSTUNREACH:
        case ENOSPC:  // a full disk: the space is not there right now
        case EDQUOT: code = Code::unavailable; break;
        default: break;
    }
    return Error(code, std::strerror(number));
}

}  // namespace lumivane
