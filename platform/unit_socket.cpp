#include "platform/unit_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/file.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace kelva::platform {

namespace fs = std::filesystem;

namespace {

void Put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
uint32_t Get32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Waits until fd is readable (or writable). Returns ERROR_SUCCESS,
// ERROR_TIMEOUT, or ERROR_DEVICE_NOT_CONNECTED when wake_fd fired.
Win32Error WaitFd(int fd, short events, int timeout_ms, int wake_fd = -1) {
  pollfd fds[2] = {{fd, events, 0}, {wake_fd, POLLIN, 0}};
  for (;;) {
    const int n = ::poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return FromErrno(errno);
    if (n == 0) return ERROR_TIMEOUT;
    if (wake_fd >= 0 && (fds[1].revents & POLLIN)) return ERROR_DEVICE_NOT_CONNECTED;
    return ERROR_SUCCESS;
  }
}

// Writes every byte of the iovecs. A peer that went away gives ERROR_DEVICE_NOT_CONNECTED.
Win32Error WriteAll(int fd, iovec* iov, int count) {
  while (count > 0) {
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) {
        if (Win32Error e = WaitFd(fd, POLLOUT, 60000)) return e;
        continue;
      }
      return (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) ? ERROR_DEVICE_NOT_CONNECTED
                                                                          : FromErrno(errno);
    }
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= iov->iov_len) {
      done -= iov->iov_len;
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + done;
      iov->iov_len -= done;
    }
  }
  return ERROR_SUCCESS;
}

// Reads exactly length bytes, waiting at most timeout_ms between pieces
// (-1: no limit). EOF gives ERROR_DEVICE_NOT_CONNECTED.
Win32Error ReadAll(int fd, void* buffer, size_t length, int timeout_ms, int wake_fd = -1) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    if (Win32Error e = WaitFd(fd, POLLIN, timeout_ms, wake_fd)) return e;
    const ssize_t n = ::recv(fd, p, length, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return errno == ECONNRESET ? ERROR_DEVICE_NOT_CONNECTED : FromErrno(errno);
    }
    if (n == 0) return ERROR_DEVICE_NOT_CONNECTED;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return ERROR_SUCCESS;
}

Win32Error Connect(const fs::path& path, int* out) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string s = path.string();
  if (s.size() >= sizeof addr.sun_path) return ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return FromErrno(errno);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    ::close(fd);
    return (err == ENOENT || err == ECONNREFUSED) ? ERROR_DEVICE_NOT_CONNECTED : FromErrno(err);
  }
  *out = fd;
  return ERROR_SUCCESS;
}

struct RequestHeader {
  UnitRequestKind kind = UnitRequestKind::kExecute;
  uint8_t direction = 0;
  uint8_t cdb_length = 0;
  uint8_t cdb[16] = {};
  uint32_t data_length = 0;
  uint32_t timeout_seconds = 0;

  void Encode(uint8_t out[kUnitRequestHeaderSize]) const {
    std::memset(out, 0, kUnitRequestHeaderSize);
    Put32(out, kUnitRequestMagic);
    out[4] = static_cast<uint8_t>(kind);
    out[5] = direction;
    out[6] = cdb_length;
    std::memcpy(out + 8, cdb, 16);
    Put32(out + 24, data_length);
    Put32(out + 28, timeout_seconds);
  }
  bool Decode(const uint8_t in[kUnitRequestHeaderSize]) {
    if (Get32(in) != kUnitRequestMagic) return false;
    kind = static_cast<UnitRequestKind>(in[4]);
    direction = in[5];
    cdb_length = in[6];
    std::memcpy(cdb, in + 8, 16);
    data_length = Get32(in + 24);
    timeout_seconds = Get32(in + 28);
    return cdb_length <= 16 && direction <= 1 && data_length <= kUnitMaxDataLength;
  }
};

struct ReplyHeader {
  uint32_t result = 0;
  uint8_t status = 0;
  uint8_t sense[kSenseLength] = {};
  uint32_t transferred = 0;
  uint32_t payload_length = 0;

  void Encode(uint8_t out[kUnitReplyHeaderSize]) const {
    std::memset(out, 0, kUnitReplyHeaderSize);
    Put32(out, kUnitReplyMagic);
    Put32(out + 4, result);
    out[8] = status;
    std::memcpy(out + 12, sense, kSenseLength);
    Put32(out + 40, transferred);
    Put32(out + 44, payload_length);
  }
  bool Decode(const uint8_t in[kUnitReplyHeaderSize]) {
    if (Get32(in) != kUnitReplyMagic) return false;
    result = Get32(in + 4);
    status = in[8];
    std::memcpy(sense, in + 12, kSenseLength);
    transferred = Get32(in + 40);
    payload_length = Get32(in + 44);
    return payload_length <= kUnitMaxDataLength;
  }
};

// The client side: one connection, one request at a time.
class UnitSocketDevice : public ScsiDevice {
 public:
  UnitSocketDevice(fs::path path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~UnitSocketDevice() override {
    if (fd_ >= 0) ::close(fd_);
  }

  Win32Error Execute(const ScsiCommand& command, ScsiReply* reply) override {
    if (command.cdb_length == 0 || command.cdb_length > kMaxCdbLength ||
        command.data_length > kUnitMaxDataLength || (command.data_length != 0 && command.data == nullptr)) {
      return ERROR_INVALID_PARAMETER;
    }
    RequestHeader h;
    h.kind = UnitRequestKind::kExecute;
    h.direction = static_cast<uint8_t>(command.direction);
    h.cdb_length = command.cdb_length;
    std::memcpy(h.cdb, command.cdb, command.cdb_length);
    h.data_length = command.data_length;
    h.timeout_seconds = command.timeout_seconds;
    const bool out = command.direction == ScsiDirection::kToUnit;
    ReplyHeader r;
    const Win32Error e =
        Transact(h, out ? command.data : nullptr, out ? command.data_length : 0,
                 out ? nullptr : command.data, out ? 0 : command.data_length, command.timeout_seconds, &r, nullptr);
    if (e != ERROR_SUCCESS) return e;
    if (r.result != ERROR_SUCCESS) return r.result;
    reply->status = r.status;
    std::memcpy(reply->sense, r.sense, kSenseLength);
    reply->transferred = r.transferred;
    return ERROR_SUCCESS;
  }

  Win32Error QueryDescriptor(StorageDeviceDescriptor* out) override {
    std::string payload;
    if (Win32Error e = Simple(UnitRequestKind::kQueryDescriptor, "", &payload)) return e;
    std::string* fields[4] = {&out->vendor, &out->product, &out->revision, &out->serial};
    size_t at = 0;
    for (std::string* f : fields) {
      if (at >= payload.size()) return ERROR_INVALID_DATA;
      const size_t n = static_cast<uint8_t>(payload[at++]);
      if (at + n > payload.size()) return ERROR_INVALID_DATA;
      f->assign(payload, at, n);
      at += n;
    }
    return ERROR_SUCCESS;
  }

  Win32Error GetDeviceNumber(uint32_t* out) override {
    std::string payload;
    if (Win32Error e = Simple(UnitRequestKind::kDeviceNumber, "", &payload)) return e;
    if (payload.size() != 4) return ERROR_INVALID_DATA;
    *out = Get32(reinterpret_cast<const uint8_t*>(payload.data()));
    return ERROR_SUCCESS;
  }

  Win32Error CheckVerify() override {
    std::string payload;
    return Simple(UnitRequestKind::kCheckVerify, "", &payload);
  }
  Win32Error EjectMedia() override {
    std::string payload;
    return Simple(UnitRequestKind::kEjectMedia, "", &payload);
  }

  Win32Error Simple(UnitRequestKind kind, const std::string& text, std::string* payload) {
    RequestHeader h;
    h.kind = kind;
    h.data_length = static_cast<uint32_t>(text.size());
    h.timeout_seconds = 60;
    ReplyHeader r;
    const Win32Error e = Transact(h, text.data(), h.data_length, nullptr, 0, 60, &r, payload);
    return e != ERROR_SUCCESS ? e : r.result;
  }

 private:
  // Sends one request and reads its reply. Data for the unit goes out from
  // out_data; data from the unit lands in in_data (at most in_length bytes)
  // or, when payload is given, in *payload.
  Win32Error Transact(const RequestHeader& h, const void* out_data, uint32_t out_length, void* in_data,
                      uint32_t in_length, uint32_t timeout_seconds, ReplyHeader* r, std::string* payload) {
    std::lock_guard<std::mutex> lock(mu_);
    if (fd_ < 0) {
      if (Win32Error e = Connect(path_, &fd_)) return e;
    }
    uint8_t header[kUnitRequestHeaderSize];
    h.Encode(header);
    iovec iov[2] = {{header, sizeof header}, {const_cast<void*>(out_data), out_length}};
    Win32Error e = WriteAll(fd_, iov, out_length != 0 ? 2 : 1);
    // The unit answers within the command's time-out; a grace covers the transport.
    const uint64_t wait_ms = (uint64_t{timeout_seconds} + 5) * 1000;
    const int timeout_ms = static_cast<int>(std::min<uint64_t>(wait_ms, 0x7FFFFFFF));
    uint8_t reply[kUnitReplyHeaderSize];
    if (e == ERROR_SUCCESS) e = ReadAll(fd_, reply, sizeof reply, timeout_ms);
    if (e == ERROR_SUCCESS && !r->Decode(reply)) e = ERROR_INVALID_DATA;
    if (e == ERROR_SUCCESS) {
      uint32_t n = r->payload_length;
      if (payload != nullptr) {
        payload->resize(n);
        e = ReadAll(fd_, payload->data(), n, timeout_ms);
      } else {
        const uint32_t direct = std::min(n, in_length);
        e = ReadAll(fd_, in_data, direct, timeout_ms);
        // Anything beyond the caller's buffer is read and dropped.
        char sink[4096];
        for (n -= direct; e == ERROR_SUCCESS && n > 0;) {
          const uint32_t k = std::min<uint32_t>(n, sizeof sink);
          e = ReadAll(fd_, sink, k, timeout_ms);
          n -= k;
        }
      }
    }
    if (e != ERROR_SUCCESS) {
      // The stream is out of step (or the unit is gone): start over next time.
      ::close(fd_);
      fd_ = -1;
      if (e == ERROR_TIMEOUT) KLOG_WARN("unit socket %s: no answer in time", path_.c_str());
    }
    return e;
  }

  const fs::path path_;
  std::mutex mu_;
  int fd_;
};

}  // namespace

fs::path UnitsDir() { return RunDir() / "units"; }

fs::path UnitSocketPath(const std::string& name) { return UnitsDir() / (name + ".sock"); }

Win32Error OpenUnitSocket(const fs::path& socket_path, std::unique_ptr<ScsiDevice>* out) {
  int fd = -1;
  if (Win32Error e = Connect(socket_path, &fd)) return e;
  *out = std::make_unique<UnitSocketDevice>(socket_path, fd);
  return ERROR_SUCCESS;
}

std::vector<std::string> ListPublishedUnits() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(UnitsDir(), ec)) {
    const fs::path& p = entry.path();
    if (p.extension() == ".sock" && entry.is_socket(ec)) names.push_back(p.stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

Win32Error SendUnitControl(const fs::path& socket_path, const std::string& line, std::string* reply) {
  int fd = -1;
  if (Win32Error e = Connect(socket_path, &fd)) return e;
  UnitSocketDevice device(socket_path, fd);
  return device.Simple(UnitRequestKind::kControl, line, reply);
}

// ---- server ----------------------------------------------------------------

UnitSocketServer::UnitSocketServer(ScsiDevice* device, ControlHandler control)
    : device_(device), control_(std::move(control)) {}

UnitSocketServer::~UnitSocketServer() { Stop(); }

Win32Error UnitSocketServer::Start(const fs::path& socket_path) {
  if (listen_fd_ >= 0) return ERROR_ALREADY_EXISTS;
  int probe = -1;
  if (Connect(socket_path, &probe) == ERROR_SUCCESS) {
    ::close(probe);
    return ERROR_ALREADY_EXISTS;
  }
  if (Win32Error e = CreateDirectoryChain(socket_path.parent_path())) return e;
  ::unlink(socket_path.c_str());
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string s = socket_path.string();
  if (s.size() >= sizeof addr.sun_path) return ERROR_FILENAME_EXCED_RANGE;
  std::memcpy(addr.sun_path, s.c_str(), s.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return FromErrno(errno);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
      ::pipe2(wake_fds_, O_CLOEXEC) != 0) {
    const int err = errno;
    ::close(fd);
    return FromErrno(err);
  }
  ::chmod(socket_path.c_str(), 0666);
  listen_fd_ = fd;
  path_ = socket_path;
  stopping_ = false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return ERROR_SUCCESS;
}

void UnitSocketServer::Stop() {
  if (listen_fd_ < 0) return;
  stopping_ = true;
  const char byte = 1;
  (void)!::write(wake_fds_[1], &byte, 1);
  if (acceptor_.joinable()) acceptor_.join();
  std::vector<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mu_);
    connections.swap(connections_);
  }
  for (auto& c : connections) ::shutdown(c->fd, SHUT_RDWR);
  for (auto& c : connections) {
    c->thread.join();
    ::close(c->fd);
  }
  ::close(listen_fd_);
  listen_fd_ = -1;
  ::close(wake_fds_[0]);
  ::close(wake_fds_[1]);
  wake_fds_[0] = wake_fds_[1] = -1;
  ::unlink(path_.c_str());
}

void UnitSocketServer::AcceptLoop() {
  for (;;) {
    if (WaitFd(listen_fd_, POLLIN, -1, wake_fds_[0]) != ERROR_SUCCESS || stopping_) return;
    const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(mu_);
    ReapFinished();
    auto connection = std::make_unique<Connection>();
    connection->fd = fd;
    Connection* c = connection.get();
    c->thread = std::thread([this, c] { Serve(c); });
    connections_.push_back(std::move(connection));
  }
}

void UnitSocketServer::ReapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->done) {
      (*it)->thread.join();
      ::close((*it)->fd);
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

void UnitSocketServer::Serve(Connection* connection) {
  const int fd = connection->fd;
  std::vector<uint8_t> buffer;
  for (;;) {
    uint8_t raw[kUnitRequestHeaderSize];
    if (ReadAll(fd, raw, sizeof raw, -1, wake_fds_[0]) != ERROR_SUCCESS) break;
    RequestHeader h;
    if (!h.Decode(raw)) break;  // not our protocol: drop the connection
    ReplyHeader r;
    const bool to_unit = h.kind != UnitRequestKind::kExecute || h.direction == 0;
    if (buffer.size() < h.data_length) buffer.resize(h.data_length);
    if (to_unit && h.data_length != 0 &&
        ReadAll(fd, buffer.data(), h.data_length, 60000, wake_fds_[0]) != ERROR_SUCCESS) {
      break;
    }
    std::string payload;
    const uint8_t* payload_data = nullptr;
    uint32_t payload_length = 0;
    switch (h.kind) {
      case UnitRequestKind::kExecute: {
        ScsiCommand command;
        std::memcpy(command.cdb, h.cdb, sizeof command.cdb);
        command.cdb_length = h.cdb_length;
        command.direction = static_cast<ScsiDirection>(h.direction);
        command.data = h.data_length != 0 ? buffer.data() : nullptr;
        command.data_length = h.data_length;
        command.timeout_seconds = h.timeout_seconds;
        ScsiReply reply;
        r.result = device_->Execute(command, &reply);
        if (r.result == ERROR_SUCCESS) {
          r.status = reply.status;
          std::memcpy(r.sense, reply.sense, kSenseLength);
          r.transferred = reply.transferred;
          if (!to_unit) {
            payload_data = buffer.data();
            payload_length = std::min(reply.transferred, h.data_length);
          }
        }
        break;
      }
      case UnitRequestKind::kQueryDescriptor: {
        StorageDeviceDescriptor d;
        r.result = device_->QueryDescriptor(&d);
        for (const std::string* f : {&d.vendor, &d.product, &d.revision, &d.serial}) {
          const size_t n = std::min<size_t>(f->size(), 255);
          payload += static_cast<char>(n);
          payload.append(*f, 0, n);
        }
        break;
      }
      case UnitRequestKind::kDeviceNumber: {
        uint32_t number = 0;
        r.result = device_->GetDeviceNumber(&number);
        payload.resize(4);
        Put32(reinterpret_cast<uint8_t*>(payload.data()), number);
        break;
      }
      case UnitRequestKind::kCheckVerify:
        r.result = device_->CheckVerify();
        break;
      case UnitRequestKind::kEjectMedia:
        r.result = device_->EjectMedia();
        break;
      case UnitRequestKind::kControl:
        if (control_) {
          r.result = control_(std::string(reinterpret_cast<const char*>(buffer.data()), h.data_length), &payload);
        } else {
          r.result = ERROR_NOT_SUPPORTED;
        }
        break;
      default:
        r.result = ERROR_INVALID_FUNCTION;
        break;
    }
    if (payload_data == nullptr) {
      payload_data = reinterpret_cast<const uint8_t*>(payload.data());
      payload_length = static_cast<uint32_t>(payload.size());
    }
    r.payload_length = payload_length;
    uint8_t header[kUnitReplyHeaderSize];
    r.Encode(header);
    iovec iov[2] = {{header, sizeof header}, {const_cast<uint8_t*>(payload_data), payload_length}};
    if (WriteAll(fd, iov, payload_length != 0 ? 2 : 1) != ERROR_SUCCESS) break;
  }
  ::shutdown(fd, SHUT_RDWR);
  connection->done = true;
}

}  // namespace kelva::platform
