// The device's error numbers, as the reader's code compares and shows them, and their texts.
// Every device service reports failure with one of these values; 0 is success.
// The texts the reader shows for transfer results live in its own string table, not here.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

using DeviceError = uint32_t;

inline constexpr DeviceError kErrorSuccess = 0;
inline constexpr DeviceError kErrorInvalidFunction = 1;
inline constexpr DeviceError kErrorFileNotFound = 2;
inline constexpr DeviceError kErrorPathNotFound = 3;
inline constexpr DeviceError kErrorTooManyOpenFiles = 4;
inline constexpr DeviceError kErrorAccessDenied = 5;
inline constexpr DeviceError kErrorInvalidHandle = 6;
inline constexpr DeviceError kErrorNotEnoughMemory = 8;
inline constexpr DeviceError kErrorNoMoreFiles = 18;
inline constexpr DeviceError kErrorWriteProtect = 19;
inline constexpr DeviceError kErrorSharingViolation = 32;
inline constexpr DeviceError kErrorHandleEof = 38;
inline constexpr DeviceError kErrorNotSupported = 50;
inline constexpr DeviceError kErrorFileExists = 80;
inline constexpr DeviceError kErrorInvalidParameter = 87;
inline constexpr DeviceError kErrorBrokenPipe = 109;
inline constexpr DeviceError kErrorDiskFull = 112;
// What a storage card answers while it is not ready (or not there).
inline constexpr DeviceError kErrorStorageNotReady = 120;
inline constexpr DeviceError kErrorInsufficientBuffer = 122;
inline constexpr DeviceError kErrorInvalidName = 123;
inline constexpr DeviceError kErrorDirNotEmpty = 145;
inline constexpr DeviceError kErrorBusy = 170;
inline constexpr DeviceError kErrorAlreadyExists = 183;
inline constexpr DeviceError kErrorFilenameTooLong = 206;
inline constexpr DeviceError kErrorMoreData = 234;
inline constexpr DeviceError kErrorWaitTimeout = 258;
inline constexpr DeviceError kErrorNoMoreItems = 259;
inline constexpr DeviceError kErrorNotOwner = 288;
inline constexpr DeviceError kErrorInvalidWindowHandle = 1400;
inline constexpr DeviceError kErrorClassNotFound = 1411;
inline constexpr DeviceError kErrorTimeout = 1460;
inline constexpr DeviceError kErrorNotConnected = 2250;
inline constexpr DeviceError kErrorConnectionRefused = 1225;
inline constexpr DeviceError kErrorBadConfiguration = 1610;
// Bytes that have no Unicode form in the code page (strict conversions).
inline constexpr DeviceError kErrorNoUnicodeTranslation = 1113;
// An operation on an open registry key that has been deleted since it was opened.
inline constexpr DeviceError kErrorKeyDeleted = 1018;
// A registry value read as a type it does not have.
inline constexpr DeviceError kErrorUnsupportedType = 1630;
// A folder moved between two host file systems (the root and a card that lives on another one).
inline constexpr DeviceError kErrorNotSameDevice = 17;
// A folder operation on something that is not a folder.
inline constexpr DeviceError kErrorDirectory = 267;
// A transfer the caller ended through its abort test (the reader shows it as "Aborted by user").
inline constexpr DeviceError kErrorOperationAborted = 995;
// HTTP transfers: the device's Internet error numbers.
inline constexpr DeviceError kErrorInternetTimeout = 12002;
inline constexpr DeviceError kErrorInternetInvalidUrl = 12005;
inline constexpr DeviceError kErrorInternetUnrecognizedScheme = 12006;
inline constexpr DeviceError kErrorInternetNameNotResolved = 12007;
inline constexpr DeviceError kErrorInternetConnectionClosed = 12017;
inline constexpr DeviceError kErrorInternetCannotConnect = 12029;
inline constexpr DeviceError kErrorInternetConnectionReset = 12031;
inline constexpr DeviceError kErrorInternetInvalidServerResponse = 12152;
inline constexpr DeviceError kErrorInternetRedirectFailed = 12156;
inline constexpr DeviceError kErrorInternetSecurityChannel = 12157;
inline constexpr DeviceError kErrorInternetSecureFailure = 12175;

// The host errno that a failed system call left, as the device's error number.
DeviceError DeviceErrorFromErrno(int err);

// The system's message text for an error number (English, no trailing newline), as the
// device's message service gives it; "Unknown error N" for a number it does not know.
std::u16string SystemErrorText(DeviceError error);

}  // namespace platform
