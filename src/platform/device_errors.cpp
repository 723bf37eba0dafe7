// Host errno to device error numbers, and the system's message texts; see device_errors.h.
#include "platform/device_errors.h"

#include <cerrno>

#include "platform/utf.h"

namespace platform {

DeviceError DeviceErrorFromErrno(int err) {
  switch (err) {
    case 0: return kErrorSuccess;
    case ENOENT: return kErrorFileNotFound;
    case ENOTDIR: return kErrorPathNotFound;
    case EACCES:
    case EPERM: return kErrorAccessDenied;
    case EROFS: return kErrorWriteProtect;
    case EEXIST: return kErrorAlreadyExists;
    case ENOSPC:
    case EDQUOT: return kErrorDiskFull;
    case ENOMEM: return kErrorNotEnoughMemory;
    case EMFILE:
    case ENFILE: return kErrorTooManyOpenFiles;
    case EBADF: return kErrorInvalidHandle;
    case ENAMETOOLONG: return kErrorFilenameTooLong;
    case ENOTEMPTY: return kErrorDirNotEmpty;
    case EBUSY: return kErrorBusy;
    case EINVAL: return kErrorInvalidParameter;
    case EISDIR: return kErrorAccessDenied;
    case EPIPE: return kErrorBrokenPipe;
    case ECONNREFUSED: return kErrorConnectionRefused;
    case ETIMEDOUT: return kErrorTimeout;
    case ENXIO:
    case ENODEV:
    case EIO: return kErrorStorageNotReady;
    default: return kErrorInvalidFunction;
  }
}

std::u16string SystemErrorText(DeviceError error) {
  const char* text = nullptr;
  switch (error) {
    case kErrorSuccess: text = "The operation completed successfully."; break;
    case kErrorInvalidFunction: text = "Incorrect function."; break;
    case kErrorFileNotFound: text = "The system cannot find the file specified."; break;
    case kErrorPathNotFound: text = "The system cannot find the path specified."; break;
    case kErrorTooManyOpenFiles: text = "The system cannot open the file."; break;
    case kErrorAccessDenied: text = "Access is denied."; break;
    case kErrorInvalidHandle: text = "The handle is invalid."; break;
    case kErrorNotEnoughMemory: text = "Not enough storage is available to process this command."; break;
    case kErrorNoMoreFiles: text = "There are no more files."; break;
    case kErrorWriteProtect: text = "The media is write protected."; break;
    case kErrorSharingViolation:
      text = "The process cannot access the file because it is being used by another process.";
      break;
    case kErrorHandleEof: text = "Reached the end of the file."; break;
    case kErrorNotSupported: text = "The request is not supported."; break;
    case kErrorFileExists: text = "The file exists."; break;
    case kErrorInvalidParameter: text = "The parameter is incorrect."; break;
    case kErrorBrokenPipe: text = "The pipe has been ended."; break;
    case kErrorDiskFull: text = "There is not enough space on the disk."; break;
    case kErrorStorageNotReady: text = "The device is not ready."; break;
    case kErrorInsufficientBuffer: text = "The data area passed to a system call is too small."; break;
    case kErrorInvalidName: text = "The filename, directory name, or volume label syntax is incorrect."; break;
    case kErrorDirNotEmpty: text = "The directory is not empty."; break;
    case kErrorBusy: text = "The requested resource is in use."; break;
    case kErrorAlreadyExists: text = "Cannot create a file when that file already exists."; break;
    case kErrorFilenameTooLong: text = "The filename or extension is too long."; break;
    case kErrorMoreData: text = "More data is available."; break;
    case kErrorWaitTimeout: text = "The wait operation timed out."; break;
    case kErrorNoMoreItems: text = "No more data is available."; break;
    case kErrorNotOwner: text = "Attempt to release mutex not owned by caller."; break;
    case kErrorInvalidWindowHandle: text = "Invalid window handle."; break;
    case kErrorClassNotFound: text = "Class does not exist."; break;
    case kErrorTimeout: text = "This operation returned because the timeout period expired."; break;
    case kErrorConnectionRefused: text = "The remote computer refused the network connection."; break;
    case kErrorBadConfiguration: text = "The configuration data for this product is corrupt."; break;
    case kErrorNotConnected: text = "This network connection does not exist."; break;
    case kErrorNoUnicodeTranslation:
      text = "No mapping for the Unicode character exists in the target multi-byte code page.";
      break;
    case kErrorKeyDeleted:
      text = "Illegal operation attempted on a registry key that has been marked for deletion.";
      break;
    case kErrorUnsupportedType: text = "Data of this type is not supported."; break;
    case kErrorNotSameDevice: text = "The system cannot move the file to a different disk drive."; break;
    case kErrorDirectory: text = "The directory name is invalid."; break;
    case kErrorOperationAborted:
      text = "The I/O operation has been aborted because of either a thread exit or an "
             "application request.";
      break;
    case kErrorInternetTimeout: text = "The operation timed out."; break;
    case kErrorInternetInvalidUrl: text = "The URL is invalid."; break;
    case kErrorInternetUnrecognizedScheme: text = "The URL does not use a recognized protocol."; break;
    case kErrorInternetNameNotResolved: text = "The server name or address could not be resolved."; break;
    case kErrorInternetConnectionClosed: text = "The connection with the server was closed."; break;
    case kErrorInternetCannotConnect: text = "A connection with the server could not be established."; break;
    case kErrorInternetConnectionReset: text = "The connection with the server was reset."; break;
    case kErrorInternetInvalidServerResponse: text = "The server response could not be parsed."; break;
    case kErrorInternetRedirectFailed: text = "The redirection failed."; break;
    case kErrorInternetSecurityChannel: text = "An error occurred in the secure channel support."; break;
    case kErrorInternetSecureFailure: text = "The server's certificate could not be verified."; break;
    default: break;
  }
  if (text) return FromUtf8(text);
  return FromUtf8("Unknown error " + std::to_string(error));
}

}  // namespace platform
