// sckWS: the event-driven TCP socket control array of the HTTP control, on an Asio event loop.
// Element 0 listens; the other elements carry one connection each. Events are delivered to a
// SocketEvents sink from the loop's handlers.
#pragma once

#include <sys/types.h>
#include <winport/unique_fd.h>

#include <asio.hpp>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

namespace servala {

class FileSender;

// Socket states as the control sees them.
enum SocketState : int {
  sckClosed = 0,
  sckListening = 2,
  sckConnected = 7,
  sckClosing = 8,
  sckError = 9,
};

// Socket error numbers (Windows Sockets numbering).
constexpr int kErrWouldBlock = 10035;
constexpr int kErrAddressInUse = 10048;
constexpr int kErrAlreadyLoaded = 360;

class SocketError : public std::runtime_error {
 public:
  SocketError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int Number() const { return number_; }

 private:
  int number_;
};

class SocketEvents {
 public:
  virtual ~SocketEvents() = default;
  virtual void sckWS_ConnectionRequest(int index, long requestID) = 0;
  virtual void sckWS_DataArrival(int index, long bytesTotal) = 0;
  virtual void sckWS_SendComplete(int index) = 0;
  virtual void sckWS_Close(int index) = 0;
  virtual void sckWS_Error(int index, int number, const std::string& description) = 0;
};

class SocketArray {
 public:
  SocketArray(asio::io_context& io, SocketEvents& events);
  ~SocketArray();
  SocketArray(const SocketArray&) = delete;
  SocketArray& operator=(const SocketArray&) = delete;

  // Elements are numbered below this.
  static constexpr int kMaxElements = 0xffff;
  // A closed connection is read from and its input thrown away this long, and up to this much,
  // so that the peer is not reset while the last of the reply is still on its way to it.
  static constexpr std::chrono::milliseconds kLingerTime{2000};
  static constexpr std::size_t kLingerBytes = 64u << 10;
  // At most this many closed connections linger; beyond it the oldest is closed at once.
  static constexpr std::size_t kMaxLingering = 256;

  // Creates element `index`, closed; SocketError 360 when it exists already.
  void Load(int index);
  // Closes and destroys element `index` (nothing when it does not exist).
  void Unload(int index);
  bool Exists(int index) const;
  // Highest index that ever existed (elements above it do not exist).
  int UBound() const { return static_cast<int>(elements_.size()) - 1; }

  int State(int index) const;
  // Closes the element. A connection with input still unread is shut down for sending (what was
  // sent still reaches the peer) and lingers a while apart from the element, its input read and
  // dropped.
  void Close(int index);
  void SetLocalPort(int index, int port);
  // The address the element listens on; empty for every IPv4 address.
  void SetLocalIP(int index, const std::string& address);
  // The port the element is bound to (the actual one once listening on port 0).
  int LocalPort(int index) const;
  // Listens at the element's local address and port; SocketError on failure.
  void Listen(int index);
  // The address the element listens on ("0.0.0.0" for every address); "" when not listening.
  std::string ListeningAddress(int index) const;
  // Takes the pending connection `requestID` onto element `index`.
  void Accept(int index, long requestID);
  void SendData(int index, std::string data);
  // Sends `head`, then `length` bytes of the open file `file` from its start, straight from the
  // file as the connection takes them, then `trailer`; one send complete when all is out.
  void SendFile(int index, std::string head, winport::UniqueFd file, off_t length,
                std::string trailer);
  // All data received so far and not yet read.
  std::string GetData(int index);
  std::string RemoteHostIP(int index) const;
  // True while a send on the element has not completed.
  bool Sending(int index) const;
  // When the send in progress last got bytes out (the clock's Now()); 0 when not sending.
  std::time_t SendProgressAt(int index) const;
  // True while the send in progress waits for the peer to take more.
  bool SendWaiting(int index) const;

  std::string LocalIP() const;
  std::string LocalHostName() const;

  // Reports the events held back while the array worked through its ready descriptors (sends
  // completed meanwhile). The host's "let pending events run" calls this before polling.
  void RunPendingEvents();

 private:
  struct Element;
  using ElementPtr = std::shared_ptr<Element>;
  // A connection taken off the listening queue and offered to the host.
  struct Pending {
    winport::UniqueFd fd;
    std::string peer;
  };

  ElementPtr Get(int index) const;
  bool Current(const ElementPtr& e) const;
  // True while `e` is still the element at its index and still carries the connection (or the
  // listening socket) it had when `generation` was taken.
  bool Live(const ElementPtr& e, std::uint64_t generation) const;
  void CloseConnection(Element& e);
  // Takes waiting connections on listening element `e`, a few per turn.
  void AcceptNext(const ElementPtr& e);
  // Takes one waiting connection and offers it; false when none was taken (the element then
  // waits, or retries shortly after an error).
  bool TakeConnection(const ElementPtr& e);
  void StartAccept(const ElementPtr& e);
  void StartRead(const ElementPtr& e);
  // The read StartRead queued, if nobody has done it meanwhile.
  void ReadQueued(const ElementPtr& e);
  // Runs `work` with send completions held back, and reports them when the outermost such
  // work is done.
  template <class Work>
  void HoldingCompletions(Work&& work);
  void ReadNow(const ElementPtr& e);
  void WriteNow(const ElementPtr& e);
  // Goes on writing on a later turn, so that one large reply does not hold the loop.
  void WriteLater(const ElementPtr& e);
  // Hands the rest of the head and the file's body to the sending thread; false when it cannot
  // take them (they then stay with the loop).
  bool HandOver(const ElementPtr& e);
  // The sending thread is done with the body: 0 when it is out, else the error.
  void BodySent(const ElementPtr& e, int error);
  // Drops what is left of the reply and reports `error`.
  void SendFailed(const ElementPtr& e, int error);
  void SendDone(const ElementPtr& e, std::uint64_t generation);
  void PostError(const ElementPtr& e, int error);

  // Descriptors that found nothing to read, write or accept wait in a readiness set of the
  // array's own (an epoll descriptor the loop watches), entered once each: closing the
  // descriptor is all it takes to leave it.
  enum class Want { Read, Write, Accept };
  bool EnsureReadiness();
  void WaitFor(const ElementPtr& e, Want what);
  void WatchReadiness();
  void TakeReadiness();

  // Closed connections that linger (see Close), by a number of their own.
  struct Lingering {
    winport::UniqueFd fd;
    std::chrono::steady_clock::time_point until;
    std::size_t dropped = 0;
  };
  void Linger(winport::UniqueFd fd);
  // Reads and drops what `l` has; true when it is done with (peer finished, time or bytes up).
  static bool DrainLingering(Lingering& l);
  void LingerReady(std::uint64_t id);
  void ArmLingerTimer();
  void EndLingering(std::uint64_t id);

  asio::io_context& io_;
  SocketEvents& events_;
  std::vector<ElementPtr> elements_;
  std::map<long, Pending> pending_;
  long nextRequestID_ = 0;
  std::uint64_t nextGeneration_ = 0;
  int readiness_ = -1;
  std::unique_ptr<asio::posix::stream_descriptor> readinessWatch_;
  bool readinessWatched_ = false;
  int inHandler_ = 0;  // nesting of the array's own handlers that hold completions back
  // Where the connection being offered was taken, while the host handles the offer.
  std::vector<ElementPtr>* accepted_ = nullptr;
  std::deque<std::pair<ElementPtr, std::uint64_t>> sendsDone_;  // to report after it
  std::unordered_map<std::uint64_t, Lingering> lingering_;
  std::deque<std::uint64_t> lingerOrder_;  // oldest first (all linger alike long)
  std::uint64_t nextLingerID_ = 0;
  asio::steady_timer lingerTimer_;
  bool lingerTimerArmed_ = false;
  // Sends the bodies of large files, from a thread of its own; made when first needed.
  std::unique_ptr<FileSender> sender_;
  bool senderFailed_ = false;  // could not be made: the loop sends every body itself
  // Handlers still queued in the loop after the array is gone see this expire.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace servala
