// Connections to the Internet on a desktop; see connection_manager.h. Whether the device is
// off-line is the device configuration's (device.h); nothing here touches the host's network.
#include "platform/connection_manager.h"

#include <atomic>

#include "platform/device.h"

namespace platform {

namespace {

// Process-wide count of open NetworkConnection handles; atomic, written by Establish and
// Release from any thread.
std::atomic<size_t> g_liveConnections{0};

}  // namespace

NetworkConnection::NetworkConnection(NetworkConnection&& other) noexcept : open_(other.open_) {
  other.open_ = false;
}

NetworkConnection& NetworkConnection::operator=(NetworkConnection&& other) noexcept {
  if (this != &other) {
    ReleaseConnection(*this);
    open_ = other.open_;
    other.open_ = false;
  }
  return *this;
}

NetworkConnection::~NetworkConnection() { ReleaseConnection(*this); }

DeviceError WaitConnectionManagerReady(uint32_t /*timeoutMs*/) { return kErrorSuccess; }

NetworkConnection EstablishConnection(uint32_t /*timeoutMs*/, DeviceError* error) {
  NetworkConnection connection;
  if (Device().offline) {
    if (error) *error = kErrorNotConnected;
    return connection;
  }
  connection.open_ = true;
  g_liveConnections.fetch_add(1);
  if (error) *error = kErrorSuccess;
  return connection;
}

void ReleaseConnection(NetworkConnection& connection) {
  if (!connection.open_) return;
  connection.open_ = false;
  g_liveConnections.fetch_sub(1);
}

size_t LiveConnectionCount() { return g_liveConnections.load(); }

}  // namespace platform
