#include "servala/server.h"

#include <winport/clock.h>

#include <cstdio>
#include <cstdlib>

#include "file_cache.h"
#include "path_watch.h"
#include "paths.h"
#include "strutil.h"

namespace servala {

namespace {

constexpr int kTimerIntervalMs = 10000;
constexpr int kDefaultMaxConnections = 10;
constexpr int kConnectionPasses = 50;
// Nested "let pending events run" calls beyond this depth return at once, so that a busy
// server cannot recurse without bound through its own handlers.
constexpr int kMaxDoEventsDepth = 4;

// Leading digits of a text as a number, 0 when there are none (as the host's conversion does).
int TextToInt(const std::string& text) {
  std::string_view s = TrimWhite(text);
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  long long v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    v = v * 10 + (c - '0');
    if (v > 0x7fffffff) break;
  }
  if (v > 0x7fffffff) v = 0x7fffffff;
  return static_cast<int>(negative ? -v : v);
}

bool TextToBool(const std::string& text) {
  const std::string t = ToLowerAscii(TrimWhite(text));
  return t == "true" || t == "-1" || t == "1" || t == "yes";
}

}  // namespace

ServalaLiteServer::ServalaLiteServer(asio::io_context& io)
    : io_(io),
      sckWS_(io, *this),
      tmrCheckConn_(io),
      files_(std::make_unique<FileCache>()),
      paths_(std::make_unique<PathWatch>()) {
  try {
    cHTTP_ = std::make_unique<cls_HTTP>();
    sckWS_.Load(0);
    ServerIP = sckWS_.LocalIP();
    ServerName = sckWS_.LocalHostName();
    ServerSoftware = "Marrowind Servala3Server/" + std::to_string(kVersionMajor) + "." +
                     std::to_string(kVersionMinor);
    cHTTP_->VirtualPath = ControlDirectory() + "\\html";
    cHTTP_->ServerIP = ServerIP;
    cHTTP_->ServerPort = std::to_string(m_lServerPort);
    cHTTP_->ServerSoftware = ServerSoftware;
    cHTTP_->ServerName = ServerName;
    cHTTP_->SSIEnable = false;
    cHTTP_->CGIDirectory = CGIDirectory;
    cHTTP_->Types = &types_;
    cHTTP_->Files = files_.get();
    for (int i = 0; i < 3; ++i) sckWS_.Close(0);
  } catch (const std::exception&) {
  }
}

ServalaLiteServer::~ServalaLiteServer() {
  try {
    tmrCheckConn_.cancel();
    CloseAllSlots();
    for (int i = 0; i <= std::max<int>(MaxConnections, sckWS_.UBound()); ++i) sckWS_.Unload(i);
    cHTTP_.reset();
  } catch (...) {
  }
}

void ServalaLiteServer::InitProperties() {
  m_bSSIEnable = false;
  CGIDirectory.clear();
  CGITimeout = 30;
  ShowErrorPages = true;
  UseErrorFiles = false;
  m_lServerPort = 80;
  ServerIP.clear();
  ServerName.clear();
  ServerSoftware = "Marrowind Servala Lite/1.0";
  m_sVirtualPath.clear();
  CheckInterval = 10;
}

void ServalaLiteServer::ReadProperties(const PropertyBag& bag) {
  m_bSSIEnable = TextToBool(bag.ReadProperty("SSIEnable", "False"));
  m_lServerPort = TextToInt(bag.ReadProperty("ServerPort", "80"));
  ServerIP = bag.ReadProperty("ServerIP", "");
  m_sVirtualPath = bag.ReadProperty("VirtualPath", "");
}

void ServalaLiteServer::WriteProperties(PropertyBag& bag) const {
  bag.WriteProperty("SSIEnable", m_bSSIEnable ? "True" : "False", "False");
  bag.WriteProperty("ServerPort", std::to_string(m_lServerPort), "80");
  bag.WriteProperty("VirtualPath", m_sVirtualPath, "");
}

std::string ServalaLiteServer::AboutText() {
  return "ServalaLite HTTP Server Control " + std::to_string(kVersionMajor) + "." +
         std::to_string(kVersionMinor) + "\nby Marrowind Software\nhttp://www.marrowind.example/\n";
}

void ServalaLiteServer::ShowAboutBox() {
  if (AboutBoxShown) {
    AboutBoxShown(AboutText());
  } else {
    std::fputs(AboutText().c_str(), stdout);
    std::fflush(stdout);
  }
}

std::string ServalaLiteServer::ServerPort() const {
  return std::to_string(m_lServerPort);
}
void ServalaLiteServer::ServerPort(const std::string& port) {
  m_lServerPort = TextToInt(port);
  MarkChanged("ServerPort");
}
bool ServalaLiteServer::SSIEnable() const {
  return m_bSSIEnable;
}
void ServalaLiteServer::SSIEnable(bool enable) {
  m_bSSIEnable = enable;
  MarkChanged("SSIEnable");
}
std::string ServalaLiteServer::VirtualPath() const {
  return m_sVirtualPath;
}
void ServalaLiteServer::VirtualPath(const std::string& path) {
  m_sVirtualPath = path;
  MarkChanged("VirtualPath");
}
bool ServalaLiteServer::ServerRunning() const {
  return m_bServerRunning;
}

void ServalaLiteServer::MarkChanged(const std::string& name) {
  if (PropertyChanged) PropertyChanged(name);
}

bool ServalaLiteServer::StartServer() {
  if (m_bServerRunning) return false;
  try {
    DefaultDocuments[0] = "index.html";
    DefaultDocuments[1] = "default.htm";
    Halted = true;
    m_bServerRunning = true;
    if (m_sVirtualPath.empty()) {
      m_sVirtualPath = ControlDirectory();
      MarkChanged("VirtualPath");
    }
    if (CGIDirectory.empty()) {
      CGIDirectory = m_sVirtualPath + "\\scripts";
      MarkChanged("CGIDirectory");
    }
    cHTTP_->VirtualPath = m_sVirtualPath;
    cHTTP_->Control = this;
    types_.Clear();
    files_->Clear();
    paths_->Clear();
    StartListening();
    if (MaxConnections <= 0) MaxConnections = kDefaultMaxConnections;
    if (MaxConnections >= SocketArray::kMaxElements) MaxConnections = SocketArray::kMaxElements - 1;
    slots_.clear();
    slots_.resize(MaxConnections + 1);
    if (ServerIP.empty()) ServerIP = sckWS_.LocalIP();
    timerEnabled_ = true;
    secondsCounter_ = minutesCounter_ = 0;
    ArmTimer();
    Halted = false;
    return true;
  } catch (const ServalaError& e) {
    throw ServalaError(kErrAddressInUse, "Servala", e.Description, "Servala.HLP", 37);
  } catch (const std::exception& e) {
    throw ServalaError(kErrAddressInUse, "Servala", e.what(), "Servala.HLP", 37);
  }
}

bool ServalaLiteServer::StopServer() {
  Halted = true;
  timerEnabled_ = false;
  tmrCheckConn_.cancel();
  CloseAllSlots();
  sckWS_.Close(0);
  sckWS_.Close(0);
  DoEvents();
  // The name look-up worker ends with the server (a look-up under way is waited for).
  names_.Stop();
  m_bServerRunning = false;
  if (cHTTP_) cHTTP_->Control = nullptr;
  return true;
}

void ServalaLiteServer::StartListening() {
  sckWS_.Close(0);
  sckWS_.SetLocalPort(0, m_lServerPort);
  sckWS_.SetLocalIP(0, BindAddress);
  try {
    sckWS_.Listen(0);
  } catch (const SocketError& e) {
    sckWS_.Close(0);
    if (e.Number() == kErrAddressInUse)
      throw ServalaError(kErrAddressInUse, "Servala", "Address in use", "Servala.HLP", 27);
    throw ServalaError(e.Number(), "Servala", e.what(), "Servala.HLP", 27);
  }
  for (int i = 1; i <= MaxConnections; ++i) {
    try {
      sckWS_.Load(i);
    } catch (const SocketError& e) {
      if (e.Number() == kErrAlreadyLoaded) {
        sckWS_.Close(0);
        return;
      }
      throw;
    }
  }
}

void ServalaLiteServer::CloseAllSlots() {
  for (int i = 1; i <= sckWS_.UBound(); ++i) {
    sckWS_.Unload(i);
    if (i < static_cast<int>(slots_.size())) slots_[i].SlotHandler.reset();
  }
}

void ServalaLiteServer::DoEvents(bool pollLoop) {
  if (doEventsDepth_ >= kMaxDoEventsDepth) return;
  ++doEventsDepth_;
  try {
    sckWS_.RunPendingEvents();
    if (pollLoop) io_.poll();
  } catch (...) {
  }
  --doEventsDepth_;
}

void ServalaLiteServer::ArmTimer() {
  if (!timerEnabled_) return;
  tmrCheckConn_.expires_after(std::chrono::milliseconds(kTimerIntervalMs));
  tmrCheckConn_.async_wait([this, alive = std::weak_ptr<int>(alive_)](std::error_code ec) {
    if (ec || alive.expired() || !timerEnabled_) return;
    tmrCheckConn_Timer();
    ArmTimer();
  });
}

void ServalaLiteServer::EnsureSlot(int index) {
  if (!sckWS_.Exists(index)) sckWS_.Load(index);
}

void ServalaLiteServer::RecreateSlot(int index) {
  sckWS_.Unload(index);
  sckWS_.Load(index);
  if (index < static_cast<int>(slots_.size())) {
    SlotFields& s = slots_[index];
    s.Pending.clear();
    s.Replied = false;
  }
}

void ServalaLiteServer::sckWS_ConnectionRequest(int /*index*/, long requestID) {
  if (Halted) return;
  try {
    auto take = [&](int i) {
      sckWS_.Accept(i, requestID);
      SlotFields& s = slots_[i];
      s.Pending.clear();
      s.RequestReady = false;
      s.Replied = false;
      s.HeadOnly = false;
      s.AcceptedAt = winport::Now();
      s.AcceptOrder = ++accepts_;
    };
    const int slots = SlotCount();
    for (int i = 1; i <= slots - 1; ++i) {
      EnsureSlot(i);
      const int st = sckWS_.State(i);
      if (st == sckError || st == sckClosing) RecreateSlot(i);
      if (sckWS_.State(i) == sckClosed) {
        take(i);
        return;
      }
    }
    // Every slot is taken. A connection that has not even delivered its request must not keep
    // a newcomer out: the one that has held its slot longest that way gives it up, unanswered.
    // So holding slots costs whoever does it a connection per newcomer.
    if (const int oldest = OldestWithoutRequest(); oldest > 0) {
      slots_[oldest].RequestPath.clear();
      RecreateSlot(oldest);
      take(oldest);
      return;
    }
    for (int pass = 0; pass < kConnectionPasses; ++pass) {
      for (int i = 1; i <= slots - 1; ++i) {
        if (Halted) return;
        EnsureSlot(i);
        const int st = sckWS_.State(i);
        if (st == sckClosing || st == sckError || st == sckClosed) {
          RecreateSlot(i);
          take(i);
          return;
        }
      }
      DoEvents();
    }
    if (Halted || slots < 1) return;
    const int last = slots;
    EnsureSlot(last);
    if (sckWS_.State(last) == sckClosed) {
      sckWS_.Close(last);
      RecreateSlot(last);
      take(last);
      SendTooBusy(last);
    }
  } catch (const std::exception&) {
  }
}

int ServalaLiteServer::OldestWithoutRequest() const {
  int oldest = 0;
  for (int i = 1; i <= SlotCount() - 1; ++i) {
    const SlotFields& s = slots_[i];
    if (!sckWS_.Exists(i) || sckWS_.State(i) != sckConnected || sckWS_.Sending(i)) continue;
    // Slots with a whole request that got an answer are busy with it; one whose request is
    // answered with nothing only waits for its peer, like one still waiting for a request.
    if (s.RequestReady && s.Replied) continue;
    if (oldest == 0 || s.AcceptOrder < slots_[oldest].AcceptOrder) oldest = i;
  }
  return oldest;
}

void ServalaLiteServer::sckWS_DataArrival(int index, long /*bytesTotal*/) {
  if (index < 1 || index > SlotCount()) return;
  SlotFields& s = slots_[index];
  std::string data = sckWS_.GetData(index);
  // The reserved slot only ever tells its client that the server is too busy.
  if (index == SlotCount()) return;
  // One request per connection: anything after it is not read as another.
  if (s.RequestReady) return;
  s.Pending += data;
  // Empty lines before the request line are skipped, as HTTP/1.0 clients may send them.
  std::size_t lead = 0;
  while (lead < s.Pending.size() && (s.Pending[lead] == '\r' || s.Pending[lead] == '\n')) ++lead;
  s.Pending.erase(0, lead);
  // TCP has no message boundaries: the request is whole at the blank line after its header.
  std::size_t end = s.Pending.find("\r\n\r\n");
  std::size_t lf = s.Pending.find("\n\n");
  if (lf != std::string::npos && (end == std::string::npos || lf < end)) end = lf;
  if (end == std::string::npos ? s.Pending.size() > kMaxRequestHeader : end > kMaxRequestHeader) {
    // A header longer than any client needs: told so, then closed.
    s.Pending.clear();
    SendErrorReply(index, "400");
    return;
  }
  if (end == std::string::npos) return;
  std::string request = s.Pending.substr(0, end);
  s.Pending.clear();
  try {
    ParseRequest(index, request);
  } catch (const std::exception&) {
  }
}

void ServalaLiteServer::ParseRequest(int i, const std::string& raw) {
  SlotFields& s = slots_[i];
  s.RequestReady = true;
  const std::string_view text = TrimSpaces(raw);

  // Header lines: names without regard to case.
  s.RequestAccept.clear();
  s.RequestReferer.clear();
  s.RequestUserAgent.clear();
  std::string_view requestLine;
  std::size_t pos = 0;
  bool first = true;
  while (pos <= text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string_view::npos) eol = text.size();
    std::string_view line = text.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = eol + 1;
    if (first) {
      requestLine = line;
      first = false;
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = TrimWhite(line.substr(0, colon));
    const std::string_view value = TrimWhite(line.substr(colon + 1));
    if (EqualsNoCase(name, "accept")) {
      s.RequestAccept += value;
      s.RequestAccept += ", ";
    } else if (EqualsNoCase(name, "referer")) {
      s.RequestReferer = value;
    } else if (EqualsNoCase(name, "user-agent")) {
      s.RequestUserAgent = value;
    }
  }
  {
    std::string_view list = TrimSpaces(s.RequestAccept);
    if (!list.empty() && list.back() == ',') list.remove_suffix(1);
    s.RequestAccept = std::string(list);
  }

  // Request line: method, target, version.
  const std::size_t sp1 = requestLine.find(' ');
  const std::string_view method = requestLine.substr(0, sp1);
  std::string_view target;
  if (sp1 != std::string_view::npos) {
    target = requestLine.substr(sp1 + 1);
    while (!target.empty() && target.front() == ' ') target.remove_prefix(1);
    target = target.substr(0, target.find(' '));
  }
  s.RequestMethod = std::string(method);
  s.HeadOnly = method == "HEAD";
  s.RequestURI = std::string(target);

  std::string_view rest = target;
  if (StartsWithNoCase(rest, "http://"))
    rest.remove_prefix(7);
  else if (StartsWithNoCase(rest, "https://"))
    rest.remove_prefix(8);
  const std::size_t slash = rest.find('/');
  rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
  const std::size_t q = rest.find('?');
  s.RequestTarget = std::string(rest);
  s.RequestPath = std::string(rest.substr(0, q));
  s.RequestQuery = q == std::string_view::npos ? "" : std::string(rest.substr(q + 1));
  const std::size_t last = s.RequestPath.rfind('/');
  s.RequestFileName = last == std::string::npos ? s.RequestPath : s.RequestPath.substr(last + 1);

  if (method != "GET" && method != "HEAD") {
    if (method.empty()) return;  // nothing that reads as a request: no reply
    // Only GET and HEAD are served.
    SendErrorReply(i, "501");
    return;
  }
  // The request is whole: every change made on disk before it was sent counts for it.
  paths_->Refresh();
  ResolveDirectory(i);
  ProcessRequest(i);
}

const std::string& ServalaLiteServer::RootHostPath() {
  if (rootFor_ != m_sVirtualPath || rootHost_.empty()) {
    rootFor_ = m_sVirtualPath;
    rootHost_ = ToHostPath(m_sVirtualPath).string();
  }
  return rootHost_;
}

void ServalaLiteServer::SendErrorReply(int i, const std::string& code) {
  SlotFields& s = slots_[i];
  s.RequestReady = true;
  auto& handler = s.SlotHandler;
  if (!handler) handler = std::make_unique<cls_HTTP>();
  HandToHandler(i, *handler);
  s.Replied = true;
  SendToSlot(handler->BuildErrorReply(code, UseErrorFiles, ShowErrorPages), i);
  handler->Control = nullptr;
}

void ServalaLiteServer::ResolveDirectory(int i) {
  SlotFields& s = slots_[i];
  s.LocalFor.clear();
  std::string decoded;
  if (!PercentDecode(s.RequestPath, decoded)) return;
  auto dir = paths_->Resolve(RootHostPath(), decoded, false);
  if (!dir) return;
  s.LocalFor = s.RequestPath;
  s.LocalPath = dir->path;
  s.LocalIsDirectory = dir->directory;
  s.LocalId = dir->id;
  if (!dir->directory) return;
  for (const std::string& name : DefaultDocuments) {
    auto doc = paths_->Resolve(dir->path, name, false, RootHostPath());
    if (doc && !doc->directory) {
      s.RequestPath += "/" + name;
      std::size_t p;
      while ((p = s.RequestPath.find("//")) != std::string::npos) s.RequestPath.erase(p, 1);
      s.RequestTarget = name;
      s.RequestFileName = s.RequestPath;
      s.LocalFor = s.RequestPath;
      s.LocalPath = doc->path;
      s.LocalIsDirectory = false;
      s.LocalId = doc->id;
      return;
    }
  }
}

void ServalaLiteServer::HandToHandler(int i, cls_HTTP& h) {
  h.SlotIndex = i;
  h.VirtualPath = m_sVirtualPath;
  h.ServerIP = ServerIP;
  // Port 0 lets the system choose; pages then see the port actually listened on.
  h.ServerPort = std::to_string(m_lServerPort != 0 ? m_lServerPort : ListeningPort());
  h.ServerSoftware = ServerSoftware;
  h.ServerName = ServerName;
  h.SSIEnable = m_bSSIEnable;
  h.CGIDirectory = CGIDirectory;
  h.CGITimeout = CGITimeout;
  h.Control = this;
  h.Types = &types_;
  h.Files = files_.get();
  h.Paths = paths_.get();
  h.Names = &names_;
  const SlotFields& s = slots_[i];
  // Every field set afresh (assigning keeps each string's storage for the next request).
  RequestContext& c = h.Context;
  c.RemoteHost.clear();
  c.RemoteHostLooked = false;
  c.Accept = s.RequestAccept;
  c.Referer = s.RequestReferer;
  c.UserAgent = s.RequestUserAgent;
  c.Method = s.RequestMethod;
  c.Target = s.RequestTarget;
  c.FileName = s.RequestFileName;
  c.Query = s.RequestQuery;
  c.RemoteAddr = sckWS_.RemoteHostIP(i);
}

void ServalaLiteServer::ProcessRequest(int i) {
  SlotFields& s = slots_[i];
  if (!s.SlotHandler) s.SlotHandler = std::make_unique<cls_HTTP>();
  cls_HTTP& h = *s.SlotHandler;
  HandToHandler(i, h);
  if (s.RequestPath.empty()) return;  // nothing to answer; the slot waits for its peer

  HttpReply reply;
  try {
    std::optional<ResolvedPath> local;
    if (!s.LocalFor.empty() && s.LocalFor == s.RequestPath) {
      local = ResolvedPath{s.LocalPath, s.LocalIsDirectory, s.LocalId};
    } else {
      std::string decoded;
      if (PercentDecode(s.RequestPath, decoded))
        local = paths_->Resolve(RootHostPath(), decoded, false);
    }
    s.LocalFor.clear();
    if (s.RequestPath[0] == '/' || s.RequestPath[0] == '\\') s.RequestPath.erase(0, 1);
    if (!local) {
      reply.text = h.BuildErrorReply("404", UseErrorFiles, ShowErrorPages);
    } else if (!local->directory) {
      reply = h.ServeFileReply(local->path, local->id, "200", h.Context, s.HeadOnly);
    }
  } catch (const std::exception&) {
    reply = HttpReply();
    reply.text = h.BuildErrorReply("404", UseErrorFiles, ShowErrorPages);
  }
  s.Replied = true;
  try {
    if (reply.file) {
      // Large files go out piece by piece as the connection takes them.
      sckWS_.SendFile(i, std::move(reply.text), std::move(reply.file), reply.fileLength, "\r\n");
    } else if (s.HeadOnly) {
      const std::size_t end = reply.text.find("\r\n\r\n");
      if (end != std::string::npos) reply.text.resize(end + 4);
      sckWS_.SendData(i, std::move(reply.text));
    } else {
      SendToSlot(std::move(reply.text), i);
    }
  } catch (const std::exception&) {
  }
  h.Control = nullptr;
}

void ServalaLiteServer::SendToSlot(std::string text, int index) {
  try {
    text += "\r\n";
    sckWS_.SendData(index, std::move(text));
  } catch (const std::exception&) {
  }
}

void ServalaLiteServer::SendTooBusy(int index) {
  SlotFields& s = slots_[index];
  if (!s.SlotHandler) s.SlotHandler = std::make_unique<cls_HTTP>();
  cls_HTTP& h = *s.SlotHandler;
  h.ServerSoftware = ServerSoftware;
  const std::string page = h.BuildTooBusyPage();
  // That page is all this slot ever sends: the connection closes once it is out.
  s.Replied = true;
  s.RequestReady = true;
  SendToSlot(h.BuildHeader("200", static_cast<long long>(page.size()), "", true) + page, index);
}

void ServalaLiteServer::sckWS_SendComplete(int index) {
  if (index < 1 || index >= static_cast<int>(slots_.size())) return;
  SlotFields& s = slots_[index];
  if (!s.RequestPath.empty() || s.Replied) {
    s.RequestPath.clear();
    try {
      sckWS_.Close(index);
      RecreateSlot(index);
    } catch (const std::exception&) {
    }
    // The handler ends here and the loop goes on with what is pending. Polling the loop from
    // within it would run the next connection's whole turn nested inside this one, and cost a
    // wait and a re-arm of the readiness set for every request: measured, an eighth of the
    // server's time per request.
    DoEvents(/*pollLoop=*/false);
  }
}

void ServalaLiteServer::sckWS_Close(int /*index*/) {}

void ServalaLiteServer::sckWS_Error(int index, int number, const std::string& /*description*/) {
  if (number == kErrAddressInUse || number == kErrWouldBlock) return;
  if (index == 0) return;  // the listening element stays as it is
  try {
    RecreateSlot(index);
  } catch (const std::exception&) {
  }
}

void ServalaLiteServer::tmrCheckConn_Timer() {
  try {
    // Slots whose connection has not been answered and closed in time are freed for others, so
    // that idle or trickling clients cannot hold every slot for good; so are slots whose reply
    // has not moved for as long, as a client that never reads would hold its slot for good too.
    const std::time_t now = winport::Now();
    for (int i = 1; i < static_cast<int>(slots_.size()); ++i) {
      // Includes slots whose peer has gone: the reserved slot is otherwise only freed by the
      // periodic sweep, which a restored instance never runs.
      if (!sckWS_.Exists(i) || sckWS_.State(i) == sckClosed) continue;
      const std::time_t since = sckWS_.Sending(i) ? sckWS_.SendProgressAt(i) : slots_[i].AcceptedAt;
      if (now - since >= kIdleSeconds) {
        slots_[i].RequestPath.clear();
        RecreateSlot(i);
      }
    }

    if (CheckInterval == 0) return;
    secondsCounter_ += kTimerIntervalMs / 1000;
    minutesCounter_ += secondsCounter_ / 60;
    if (minutesCounter_ >= CheckInterval) {
      secondsCounter_ = minutesCounter_ = 0;
      for (int i = 1; i <= SlotCount(); ++i) {
        EnsureSlot(i);
        const int st = sckWS_.State(i);
        if (st == sckError || st == sckClosing) RecreateSlot(i);
      }
    }
  } catch (const std::exception&) {
  }
}

}  // namespace servala
