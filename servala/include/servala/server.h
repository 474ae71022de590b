// ServalaLiteServer: the embeddable HTTP/1.0 server control. The host owns the Asio event loop
// and runs it; everything the control does happens in that loop's handlers or in calls from the
// host, on one thread. The control polls the loop from within its own handlers ("let pending
// events run"), so the loop must not be created with the one-thread concurrency hint (1): with
// it Asio loses count of queued work across such a nested poll and may stop the loop.
#pragma once

#include <asio.hpp>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "servala/http.h"
#include "servala/socket_control.h"
#include "servala/util.h"

namespace servala {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 0;

// An error raised to the host, with the fields a host's error object carries.
class ServalaError : public std::runtime_error {
 public:
  ServalaError(long number, std::string source, std::string description, std::string helpFile,
               long helpContext)
      : std::runtime_error(description),
        Number(number),
        Source(std::move(source)),
        Description(std::move(description)),
        HelpFile(std::move(helpFile)),
        HelpContext(helpContext) {}
  long Number;
  std::string Source;
  std::string Description;
  std::string HelpFile;
  long HelpContext;
};

// The host's store of the control's persisted properties.
class PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  virtual std::string ReadProperty(const std::string& name,
                                   const std::string& defaultValue) const = 0;
  virtual void WriteProperty(const std::string& name, const std::string& value,
                             const std::string& defaultValue) = 0;
};

// The request fields the control keeps for each slot.
struct SlotFields {
  std::string RequestAccept;
  std::string RequestReferer;
  std::string RequestUserAgent;
  std::string RequestMethod;
  std::string RequestURI;
  std::string RequestTarget;
  std::string RequestPath;
  std::string RequestFileName;
  std::string RequestQuery;
  bool RequestReady = false;
  std::unique_ptr<cls_HTTP> SlotHandler;
  // The connection the slot carries now.
  std::string Pending;  // request text collected so far
  std::time_t AcceptedAt = 0;
  std::uint64_t AcceptOrder = 0;  // connections taken earlier have lower numbers
  bool Replied = false;           // a reply to a request went out on this connection
  bool HeadOnly = false;
  // Where RequestPath was last found on disk, so a request looks its file up only once.
  std::string LocalFor;
  std::string LocalPath;
  bool LocalIsDirectory = false;
  FileIdentity LocalId;
};

class ServalaLiteServer : public SocketEvents {
 public:
  // Initialize.
  explicit ServalaLiteServer(asio::io_context& io);
  // Terminate.
  ~ServalaLiteServer() override;
  ServalaLiteServer(const ServalaLiteServer&) = delete;
  ServalaLiteServer& operator=(const ServalaLiteServer&) = delete;

  // A new instance: the property defaults.
  void InitProperties();
  // A restored instance: the saved properties.
  void ReadProperties(const PropertyBag& bag);
  void WriteProperties(PropertyBag& bag) const;

  void ShowAboutBox();
  std::string ServerPort() const;
  void ServerPort(const std::string& port);
  bool SSIEnable() const;
  void SSIEnable(bool enable);
  std::string VirtualPath() const;
  void VirtualPath(const std::string& path);
  bool ServerRunning() const;
  bool StartServer();
  bool StopServer();

  // Internal settings (not on the control's interface; the host may adjust them).
  std::string ServerIP;
  std::string ServerName;
  std::string ServerSoftware;
  std::string CGIDirectory;
  int CGITimeout = 0;
  std::string DefaultDocuments[2];
  short MaxConnections = 0;
  int CheckInterval = 0;
  bool ShowErrorPages = false;
  bool UseErrorFiles = false;
  bool Halted = false;
  // The address to listen on; empty for every IPv4 address. Taken at StartServer.
  std::string BindAddress;

  // Property-changed notification to the host (name of the property).
  std::function<void(const std::string&)> PropertyChanged;
  // Where ShowAboutBox puts its text (standard output when not set).
  std::function<void(const std::string&)> AboutBoxShown;
  static std::string AboutText();

  SocketArray& sckWS() { return sckWS_; }
  const SlotFields& Slot(int index) const { return slots_.at(index); }
  // The port actually listened on (ServerPort "0" lets the system choose).
  int ListeningPort() const { return sckWS_.LocalPort(0); }
  // The address actually listened on ("0.0.0.0" for every address).
  std::string ListeningAddress() const { return sckWS_.ListeningAddress(0); }

  // The sweep timer's tick.
  void tmrCheckConn_Timer();
  // Connected slots that have not had a whole request answered this long are recycled.
  static constexpr int kIdleSeconds = 30;
  // The most request header text a slot collects before it gives up on the client.
  static constexpr std::size_t kMaxRequestHeader = 16 * 1024;

  // Events of the socket control array.
  void sckWS_ConnectionRequest(int index, long requestID) override;
  void sckWS_DataArrival(int index, long bytesTotal) override;
  void sckWS_SendComplete(int index) override;
  void sckWS_Close(int index) override;
  void sckWS_Error(int index, int number, const std::string& description) override;

 private:
  void StartListening();
  void CloseAllSlots();
  void SendToSlot(std::string text, int index);
  void SendTooBusy(int index);
  void ParseRequest(int index, const std::string& request);
  void ResolveDirectory(int index);
  void ProcessRequest(int index);
  // Answers the request of slot `index` with the error reply for `code`.
  void SendErrorReply(int index, const std::string& code);
  // The slot, among the ordinary ones, that has held its connection longest without a whole
  // request; 0 when there is none.
  int OldestWithoutRequest() const;
  // Slots as dimensioned at the last start (MaxConnections may change meanwhile).
  int SlotCount() const { return static_cast<int>(slots_.size()) - 1; }
  void RecreateSlot(int index);
  void EnsureSlot(int index);
  // Lets pending events run: the array's held-back completions, then, with `pollLoop`, everything
  // the loop has ready, asking the system for news too. Without it only what is queued already
  // runs: for a handler whose last step this is, as the loop runs the rest as soon as the
  // handler returns.
  void DoEvents(bool pollLoop = true);
  void MarkChanged(const std::string& name);
  void ArmTimer();
  void HandToHandler(int index, cls_HTTP& handler);
  const std::string& RootHostPath();

  asio::io_context& io_;
  SocketArray sckWS_;
  asio::steady_timer tmrCheckConn_;
  bool timerEnabled_ = false;
  long secondsCounter_ = 0;
  long minutesCounter_ = 0;
  int doEventsDepth_ = 0;

  int m_lServerPort = 0;
  bool m_bSSIEnable = false;
  std::string m_sVirtualPath;
  bool m_bServerRunning = false;

  std::unique_ptr<cls_HTTP> cHTTP_;
  ContentTypeCache types_;
  std::unique_ptr<FileCache> files_;
  std::unique_ptr<PathWatch> paths_;
  HostNames names_;
  std::vector<SlotFields> slots_;
  std::string rootFor_;
  std::string rootHost_;  // as a host path
  std::uint64_t accepts_ = 0;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace servala
