// The device's connection manager: bringing up a connection to the Internet before a series of
// transfers and letting it go afterwards. A desktop is always connected, so this only keeps the
// count of connections in use and honours the device setting that plays "off-line".
// The transfers themselves are the HTTP service's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/device_errors.h"

namespace platform {

// A connection in use. Move-only; releasing (or destroying) it gives the connection back.
class NetworkConnection {
 public:
  NetworkConnection() = default;
  NetworkConnection(NetworkConnection&& other) noexcept;
  NetworkConnection& operator=(NetworkConnection&& other) noexcept;
  NetworkConnection(const NetworkConnection&) = delete;
  NetworkConnection& operator=(const NetworkConnection&) = delete;
  ~NetworkConnection();

  bool IsOpen() const { return open_; }

 private:
  friend NetworkConnection EstablishConnection(uint32_t, DeviceError*);
  friend void ReleaseConnection(NetworkConnection&);
  bool open_ = false;
};

// Waits up to timeoutMs for the connection manager to be ready to take requests. Returns 0 (a
// desktop's is always ready) or 1460 when it was not ready in time.
DeviceError WaitConnectionManagerReady(uint32_t timeoutMs);

// Establishes a connection to the Internet, waiting at most timeoutMs. error (optional) receives
// 0, or 2250 (kErrorNotConnected) when the device is set off-line (Device().offline); the handle
// is then not open. Safe from any thread.
NetworkConnection EstablishConnection(uint32_t timeoutMs, DeviceError* error = nullptr);

// Releases a connection; nothing for one that is not open. Safe from any thread.
void ReleaseConnection(NetworkConnection& connection);

// Connections established and not yet released, in this process.
size_t LiveConnectionCount();

}  // namespace platform
