#include "servala/http.h"

#include <unistd.h>
#include <winport/clock.h>

#include <utility>

#include "file_cache.h"
#include "path_watch.h"
#include "paths.h"
#include "servala/status.h"
#include "servala/util.h"
#include "strutil.h"

namespace servala {

namespace {

// Includes nest at most this deep; deeper directives stay in the page as written.
constexpr int kMaxIncludeDepth = 16;
// One page draws in at most this many included files and grows to at most this size, so a
// page that includes itself twice over cannot run away.
constexpr int kMaxIncludedFiles = 1024;
constexpr std::size_t kMaxPageSize = 16u << 20;
constexpr std::size_t kMaxCachedTypes = 1024;
const std::string kOctetStream = "application/octet-stream";

// The clock's values for pages ("TIME", "DATE", "DATE_GMT", "DAY_OF_WEEK"), worked out once a
// second rather than for every page.
enum NowKind { kTime, kDate, kDateGmt, kDayOfWeek, kNowKinds };
const std::string& NowText(NowKind kind) {
  struct Texts {
    std::time_t at = -1;
    std::string text[kNowKinds];
  };
  thread_local Texts texts;
  const std::time_t now = winport::Now();
  if (now != texts.at) {
    const std::tm t = winport::LocalTime(now);
    texts.text[kTime] = FormatTime(t, "hh:mm:ssAMPM");
    texts.text[kDate] = FormatTime(t, "mm/dd/yyyy");
    texts.text[kDateGmt] = FormatTime(t, "ddd, dd mmm yyyy hh:nn:ss") + " GMT";
    texts.text[kDayOfWeek] = FormatTime(t, "dddd");
    texts.at = now;
  }
  return texts.text[kind];
}

// The "Date:" value, worked out once a second.
const std::string& DateText() {
  thread_local std::time_t at = -1;
  thread_local std::string text;
  const std::time_t now = winport::Now();
  if (now != at) {
    const std::tm t = winport::LocalTime(now);
    text = FormatTime(t, "ddd") + ", " + FormatTime(t, "dd mmm yyyy") + ' ' +
           FormatTime(t, "hh:mm:ssAMPM");
    at = now;
  }
  return text;
}

}  // namespace

std::string ContentTypeCache::Lookup(const std::string& ext) {
  const std::string key = ToLowerAscii(ext);
  auto it = cache_.find(key);
  if (it != cache_.end()) return it->second;
  std::string type;
  if (!key.empty()) {
    type = std::string(
        TrimWhite(CRegSettings().ReadValue("HKEY_CLASSES_ROOT", "." + ext, "Content Type", "")));
    if (type.empty()) type = BuiltInContentType(key);
  }
  if (cache_.size() >= kMaxCachedTypes) cache_.clear();
  cache_.emplace(key, type);
  return type;
}

std::string cls_HTTP::ContentTypeFor(const std::string& fileName) {
  const auto dot = fileName.rfind('.');
  const std::string ext = dot == std::string::npos ? "" : fileName.substr(dot + 1);
  if (Types != nullptr) return Types->Lookup(ext);
  ContentTypeCache once;
  return once.Lookup(ext);
}

std::string cls_HTTP::BuildHeader(const std::string& status, long long length,
                                  const std::string& type, bool addBlankLine,
                                  bool lengthAlways) const {
  std::string h;
  h.reserve(160);
  h += "HTTP/1.0 ";
  h += status;
  h += ' ';
  h += GetStatusText(status);
  h += "\r\nServer: ";
  h += ServerSoftware;
  h += "\r\nDate: ";
  h += DateText();
  h += "\r\n";
  if (length != 0 || lengthAlways) {
    h += "Content-Length: ";
    h += std::to_string(length);
    h += "\r\n";
  }
  if (!TrimSpaces(type).empty()) {
    h += "Content-Type: ";
    h += type;
    h += "\r\n";
  }
  if (addBlankLine) h += "\r\n";
  return h;
}

std::string cls_HTTP::ServeFile(const std::string& localPath, const std::string& status,
                                const RequestContext& context, bool withHeader) {
  return ServeFile(localPath, nullptr, status, context, withHeader);
}

std::string cls_HTTP::ServeFile(const std::string& localPath, const FileIdentity& known,
                                const std::string& status, const RequestContext& context,
                                bool withHeader) {
  return ServeFile(localPath, &known, status, context, withHeader);
}

std::string cls_HTTP::ServeFile(const std::string& localPath, const FileIdentity* known,
                                const std::string& status, const RequestContext& context,
                                bool withHeader) {
  if (&context != &Context) Context = context;
  std::shared_ptr<const CachedFile> file;
  if (Files != nullptr && known != nullptr) file = Files->Find(localPath, *known);
  if (!file) {
    auto fresh = std::make_shared<CachedFile>();
    FileIdentity id;
    if (!ReadRegularFile(localPath, fresh->body, id)) return "";
    const auto slash = localPath.rfind('/');
    fresh->type =
        ContentTypeFor(slash == std::string::npos ? localPath : localPath.substr(slash + 1));
    if (fresh->type == "text/html") fresh->body = NormalizeDirectives(std::move(fresh->body));
    if (Files != nullptr) Files->Store(localPath, id, fresh, winport::Now());
    file = std::move(fresh);
  }
  return Compose(*file, status, withHeader);
}

std::string cls_HTTP::Compose(const CachedFile& file, const std::string& status, bool withHeader) {
  const std::string& type = TrimSpaces(file.type).empty() ? kOctetStream : file.type;
  // The exact byte count, also when it is 0: clients read no more and no less than this.
  auto whole = [&](const std::string& body) {
    // Room for the CR LF the control appends to every reply, so that it does not copy the
    // reply once more to add it.
    std::string reply = BuildHeader(status, static_cast<long long>(body.size()), type, true, true);
    reply.reserve(reply.size() + body.size() + 2);
    reply += body;
    return reply;
  };
  if (file.type == "text/html" && SSIEnable) {
    std::string body = ExpandIncludes(ExpandVariables(file.body));
    if (!withHeader) return body;
    return whole(body);
  }
  if (!withHeader) return file.body;
  return whole(file.body);
}

HttpReply cls_HTTP::ServeFileReply(const std::string& localPath, const FileIdentity& known,
                                   const std::string& status, const RequestContext& context,
                                   bool headOnly) {
  if (&context != &Context) Context = context;
  HttpReply reply;
  auto headerOnly = [&](std::string text) {
    if (headOnly) {
      const std::size_t end = text.find("\r\n\r\n");
      if (end != std::string::npos) text.resize(end + 4);
    }
    return text;
  };
  if (Files != nullptr) {
    if (auto kept = Files->Find(localPath, known)) {
      reply.text = headerOnly(Compose(*kept, status, true));
      return reply;
    }
  }
  struct stat st {};
  winport::UniqueFd fd = OpenRegularFile(localPath, st);
  if (!fd) return reply;
  // What is opened must be what was looked up (and checked to lie in the root): a path swapped
  // for another file or a link meanwhile is not followed.
  if (st.st_dev != known.device || st.st_ino != known.inode) return reply;
  const auto slash = localPath.rfind('/');
  const std::string type =
      ContentTypeFor(slash == std::string::npos ? localPath : localPath.substr(slash + 1));
  const auto size = static_cast<std::size_t>(st.st_size);
  // Files too large to keep, and pages too large to rewrite, go out as they stand, piece by
  // piece from the file.
  if (size > FileCache::kMaxEntryBytes && (type != "text/html" || size > kMaxPageSize)) {
    reply.text = BuildHeader(status, static_cast<long long>(size),
                             TrimSpaces(type).empty() ? kOctetStream : type, true, true);
    reply.fileLength = st.st_size;
    if (!headOnly) reply.file = std::move(fd);
    return reply;
  }
  auto fresh = std::make_shared<CachedFile>();
  FileIdentity id;
  if (!ReadOpenFile(fd.get(), st, fresh->body, id)) return reply;
  fd.reset();
  fresh->type = type;
  if (fresh->type == "text/html") fresh->body = NormalizeDirectives(std::move(fresh->body));
  if (Files != nullptr) Files->Store(localPath, id, fresh, winport::Now());
  reply.text = headerOnly(Compose(*fresh, status, true));
  return reply;
}

std::string cls_HTTP::BuildErrorReply(const std::string& code, bool useFiles, bool showPages) {
  if (!showPages) return BuildHeader(code, 0, "text/html", true);
  if (!useFiles) {
    const std::string page = cls_ErrorFiles().GetErrorPage(code);
    return BuildHeader("200", static_cast<long long>(page.size()), "text/html", true) + page;
  }
  const std::string dir = ControlDirectory();
  auto file = ResolveUnder(dir, "html/errors/http" + code + ".html", false);
  if (!file || file->directory) file = ResolveUnder(dir, "html/errors/http404.html", false);
  if (!file || file->directory) return "";
  return ServeFile(file->path, file->id, "200", Context);
}

std::string cls_HTTP::BuildTooBusyPage() const {
  return ComposeErrorPage(
      "<title>Error: Server Too Busy</title>",
      "<p><font color=\"#FF0000\" face=\"Arial\"><strong>Sorry, server too busy."
      "</strong></font></p>",
      {"<dt><font face=\"Arial\">Sorry, the server is too busy to handle you request.</dt>"});
}

std::string cls_HTTP::NormalizeDirectives(std::string page) const {
  for (const std::string_view opener : {std::string_view("<!--#"), std::string_view("<%")}) {
    std::size_t pos = 0;
    for (;;) {
      const std::size_t f = page.find(opener, pos);
      if (f == std::string::npos) break;
      const std::size_t g = page.find('>', f + opener.size());
      if (g == std::string::npos) break;
      std::string compact;
      compact.reserve(g - f);
      for (std::size_t i = f; i < g; ++i)
        if (page[i] != ' ' && page[i] != '"') compact += page[i];
      page.replace(f, g - f, compact);
      // Go on after this directive's ">" where it stands now, so that a directive directly
      // after a shortened one is not skipped.
      pos = f + compact.size() + 1;
    }
  }
  return page;
}

std::string cls_HTTP::ExpandVariables(std::string page) {
  // Every opener begins with one of these two, which have no case: a page without one has no
  // tag of those kinds, and is not searched for them.
  const bool directives = page.find("<!--#") != std::string::npos;
  bool tags = page.find("<%") != std::string::npos;
  if (!directives && !tags) return page;
  if (directives && FindNoCase(page, "<!--#echovar=") != std::string::npos) {
    page = ExpandTagged(std::move(page), "<!--#echovar=", "-->");
    tags = page.find("<%") != std::string::npos;  // values may bring some in
  }
  if (tags && FindNoCase(page, "<%=Request.ServerVariables(") != std::string::npos)
    page = ExpandTagged(std::move(page), "<%=Request.ServerVariables(", ")%>");
  // "<%=Request.QueryString(...)%>" has no kind of its own: the short form below takes it as a
  // variable of that whole name, which is empty.
  if (tags && FindNoCase(page, "<%=") != std::string::npos)
    page = ExpandTagged(std::move(page), "<%=", "%>");
  return page;
}

std::string cls_HTTP::ExpandTagged(std::string page, const std::string& opener,
                                   const std::string& closer) {
  std::size_t pos = 0;
  for (;;) {
    const std::size_t f = FindNoCase(page, opener, pos);
    if (f == std::string::npos) break;
    // Function tags belong to the host; they and everything after them stay for this kind.
    if (page.compare(f, 11, "<%=Function") == 0) break;
    const std::size_t c = FindNoCase(page, closer, f + opener.size());
    if (c == std::string::npos) break;
    const std::string name = page.substr(f + opener.size(), c - f - opener.size());
    if (page.compare(f, opener.size(), opener) == 0 &&
        page.compare(c, closer.size(), closer) == 0) {
      // Every occurrence of the tag as written, also those past a function tag that stops the
      // search. Values are never scanned again for tags.
      const std::string tag = page.substr(f, c + closer.size() - f);
      const std::string value = GetServerVariable(name);
      page.replace(f, tag.size(), value);
      pos = f + value.size();
      for (std::size_t at = page.find(tag, pos); at != std::string::npos;
           at = page.find(tag, at + value.size()))
        page.replace(at, tag.size(), value);
    } else {
      pos = c;
    }
  }
  return page;
}

std::string cls_HTTP::ExpandIncludes(std::string page) {
  if (TrimWhite(page).empty() || page.find("<!--#include") == std::string::npos) return page;
  if (includeDepth_ >= kMaxIncludeDepth) return page;
  // Each page served starts with the whole budget; its includes share it.
  if (includeDepth_ == 0 || !budget_) budget_ = std::make_shared<IncludeBudget>();

  // Included files are served by this same handler one level deeper: same settings, same
  // request, the budget shared.
  struct Deeper {
    explicit Deeper(int& d) : depth(d) { ++depth; }
    ~Deeper() { --depth; }
    int& depth;
  };
  const std::string root = RootHostPath();
  for (const std::string opener : {"<!--#includefile=", "<!--#includevirtual=", "<!--#include="}) {
    const bool isFile = opener == "<!--#includefile=";
    std::size_t pos = 0;
    for (;;) {
      const std::size_t f = FindNoCase(page, opener, pos);
      if (f == std::string::npos) break;
      const std::size_t g = page.find('>', f + opener.size());
      if (g == std::string::npos) break;
      std::size_t end = g;
      if (g >= f + opener.size() + 2 && page.compare(g - 2, 2, "--") == 0) end = g - 2;
      std::string name = page.substr(f + opener.size(), end - f - opener.size());
      if (!isFile) {
        ReplaceAll(name, "../", "");
        ReplaceAll(name, "./", "");
      }
      if (!name.empty() && name[0] == '/') name.erase(0, 1);
      name = std::string(TrimSpaces(name));
      // includefile names may step above the root (the page author's choice); the others are
      // always read from within the root.
      auto file =
          Paths != nullptr ? Paths->Resolve(root, name, isFile) : ResolveUnder(root, name, isFile);
      // A file too large for a page is left out, as it could never fit.
      if (file && !file->directory && budget_->files < kMaxIncludedFiles &&
          static_cast<std::size_t>(file->id.size) <= kMaxPageSize) {
        ++budget_->files;
        std::string text;
        {
          Deeper deeper(includeDepth_);
          text = ServeFile(file->path, file->id, "200", Context, false);
        }
        if (page.size() + text.size() <= kMaxPageSize) {
          page.replace(f, g + 1 - f, text);
          pos = f + text.size();
          continue;
        }
      }
      pos = g + 1;
    }
  }
  return page;
}

const std::string& cls_HTTP::RootHostPath() {
  if (rootHost_.empty() || rootFor_ != VirtualPath) {
    rootFor_ = VirtualPath;
    rootHost_ = ToHostPath(VirtualPath).string();
  }
  return rootHost_;
}

std::string cls_HTTP::GetServerVariable(const std::string& name) {
  const RequestContext& c = Context;
  // Values that come from the request are escaped so that a request cannot put markup or
  // script into a page; the server's own values go in as they are.
  if (name == "AUTH_TYPE") return "Basic";
  if (name == "CONTENT_LENGTH" || name == "CONTENT_TYPE") return "";
  if (name == "GATEWAY_INTERFACE") return "CGI/1.1";
  if (name == "HTTP_ACCEPT") return HtmlEscape(c.Accept);
  if (name == "HTTP_REFERER") return HtmlEscape(c.Referer);
  if (name == "HTTP_USER_AGENT") return HtmlEscape(c.UserAgent);
  if (name == "PATH_INFO" || name == "PATH_TRANSLATED") return VirtualPath;
  if (name == "QUERY_STRING") return HtmlEscape(c.Query);
  if (name == "REMOTE_ADDR") return c.RemoteAddr;
  if (name == "REMOTE_HOST") {
    // Looked up off the loop: until the name is known the page shows the address.
    if (!Context.RemoteHostLooked) {
      if (Names == nullptr) return Context.RemoteAddr;
      auto known = Names->Find(Context.RemoteAddr);
      if (!known) return Context.RemoteAddr;
      Context.RemoteHost = *known;
      Context.RemoteHostLooked = true;
    }
    return HtmlEscape(Context.RemoteHost);
  }
  if (name == "REMOTE_USER") return "";
  if (name == "REQUEST_METHOD") return HtmlEscape(c.Method);
  if (name == "SCRIPT_NAME" || name == "DOCUMENT_NAME") return HtmlEscape(c.FileName);
  if (name == "SERVER_NAME") return ServerName;
  if (name == "SERVER_PORT") return ServerPort;
  if (name == "SERVER_IP") return ServerIP;
  if (name == "SERVER_PROTOCOL") return "HTTP/1.0";
  if (name == "SERVER_SOFTWARE") return ServerSoftware;
  if (name == "TIME") return NowText(kTime);
  if (name == "DATE" || name == "DATE_LOCAL") return NowText(kDate);
  if (name == "DATE_GMT") return NowText(kDateGmt);
  if (name == "DAY_OF_WEEK") return NowText(kDayOfWeek);
  if (name == "COUNTER") return "";
  if (name == "DOCUMENT_URI" || name == "DOCUMENT_URL") return HtmlEscape(c.Target);
  return "";
}

}  // namespace servala
