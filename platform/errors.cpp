#include "platform/errors.h"

#include <cerrno>

namespace kelva::platform {

Win32Error FromErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EAGAIN: return ERROR_RETRY;
    case EBUSY: return ERROR_BUSY;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EISDIR: return ERROR_DIRECTORY;
    case EIO: return ERROR_IO_DEVICE;
    case ENODEV:
    case ENXIO: return ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EPIPE:
    case ECONNRESET: return ERROR_BROKEN_PIPE;
    case ENOTSUP: return ERROR_NOT_SUPPORTED;
    case ENOMEDIUM: return ERROR_NO_MEDIA_IN_DRIVE;
    case EFBIG: return ERROR_DISK_FULL;
    case ESPIPE: return ERROR_SEEK;
    case EINTR: return ERROR_OPERATION_ABORTED;
    case ECONNREFUSED: return ERROR_FILE_NOT_FOUND;
    case ENOSYS: return ERROR_CALL_NOT_IMPLEMENTED;
    case ELOOP: return ERROR_CANNOT_MAKE;
    case EXDEV: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

std::string ErrorText(Win32Error code) {
  const char* text = nullptr;
  switch (code) {
    case ERROR_SUCCESS: text = "success"; break;
    case ERROR_INVALID_FUNCTION: text = "incorrect function"; break;
    case ERROR_FILE_NOT_FOUND: text = "file not found"; break;
    case ERROR_PATH_NOT_FOUND: text = "path not found"; break;
    case ERROR_ACCESS_DENIED: text = "access denied"; break;
    case ERROR_INVALID_HANDLE: text = "invalid handle"; break;
    case ERROR_NOT_ENOUGH_MEMORY: text = "not enough memory"; break;
    case ERROR_WRITE_PROTECT: text = "media is write protected"; break;
    case ERROR_NOT_READY: text = "device not ready"; break;
    case ERROR_CRC: text = "data error (cyclic redundancy check)"; break;
    case ERROR_WRITE_FAULT: text = "cannot write to the device"; break;
    case ERROR_READ_FAULT: text = "cannot read from the device"; break;
    case ERROR_GEN_FAILURE: text = "device does not work"; break;
    case ERROR_SHARING_VIOLATION: text = "sharing violation"; break;
    case ERROR_HANDLE_EOF: text = "end of file"; break;
    case ERROR_NOT_SUPPORTED: text = "not supported"; break;
    case ERROR_FILE_EXISTS: text = "file exists"; break;
    case ERROR_INVALID_PARAMETER: text = "invalid parameter"; break;
    case ERROR_DISK_FULL: text = "not enough space on the disk"; break;
    case ERROR_CALL_NOT_IMPLEMENTED: text = "not implemented"; break;
    case ERROR_INSUFFICIENT_BUFFER: text = "buffer too small"; break;
    case ERROR_INVALID_NAME: text = "invalid name"; break;
    case ERROR_DIR_NOT_EMPTY: text = "directory not empty"; break;
    case ERROR_BUSY: text = "busy"; break;
    case ERROR_ALREADY_EXISTS: text = "already exists"; break;
    case ERROR_FILENAME_EXCED_RANGE: text = "name too long"; break;
    case ERROR_WAIT_TIMEOUT: text = "wait timed out"; break;
    case ERROR_NO_MORE_ITEMS: text = "no more items"; break;
    case ERROR_UNRECOGNIZED_VOLUME: text = "volume not recognised"; break;
    case ERROR_SERVICE_REQUEST_TIMEOUT: text = "the service did not respond in time"; break;
    case ERROR_SERVICE_ALREADY_RUNNING: text = "the service is already running"; break;
    case ERROR_SERVICE_DOES_NOT_EXIST: text = "the service does not exist"; break;
    case ERROR_SERVICE_CANNOT_ACCEPT_CTRL: text = "the service cannot accept the control now"; break;
    case ERROR_SERVICE_NOT_ACTIVE: text = "the service is not running"; break;
    case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT: text = "no service manager to talk to"; break;
    case ERROR_SERVICE_EXISTS: text = "the service already exists"; break;
    case ERROR_SERVICE_DEPENDENCY_FAIL: text = "dependency service failed to start"; break;
    case ERROR_IO_DEVICE: text = "I/O device error"; break;
    case ERROR_DEVICE_NOT_CONNECTED: text = "device not connected"; break;
    case ERROR_RETRY: text = "retry later"; break;
    case ERROR_FILE_CORRUPT: text = "file or directory is corrupt"; break;
    case ERROR_TIMEOUT: text = "timed out"; break;
    case ERROR_NO_MEDIA_IN_DRIVE: text = "no media in drive"; break;
    case ERROR_MAGAZINE_EJECT_FAILED: text = "magazine eject failed"; break;
    case ERROR_LOG_CORRUPTION_DETECTED: text = "metadata unusable"; break;
    default: text = "error"; break;
  }
  return std::to_string(code) + " (" + text + ")";
}

}  // namespace kelva::platform
