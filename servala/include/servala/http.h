// cls_HTTP: the per-slot request handler of the HTTP control. It builds response headers, reads
// files, rewrites HTML pages (directives, server variables, includes) and builds error replies.
#pragma once

#include <sys/stat.h>
#include <winport/unique_fd.h>

#include <map>
#include <memory>
#include <string>

namespace servala {

class ServalaLiteServer;
class FileCache;
class PathWatch;
class HostNames;

// Which file a path named when it was looked at: a file edited or replaced since has another.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  static FileIdentity Of(const struct stat& st);
  bool operator==(const FileIdentity& o) const;
};

// Extension -> content type, asked of the registry once per extension and remembered.
class ContentTypeCache {
 public:
  // "" when neither the registry nor the built-in table knows the extension.
  std::string Lookup(const std::string& ext);
  void Clear() { cache_.clear(); }

 private:
  std::map<std::string, std::string> cache_;
};

// A reply whose body may stay in its file: `text`, then, when `file` is open, `fileLength` bytes
// of it from its start. The reply owns the file.
struct HttpReply {
  std::string text;
  winport::UniqueFd file;
  off_t fileLength = 0;
};

// What the handler knows about the request it serves.
struct RequestContext {
  std::string Accept;
  std::string Referer;
  std::string UserAgent;
  std::string Method;
  std::string Target;    // the target as used, without scheme and host
  std::string FileName;  // `RequestFileName`
  std::string Query;     // text after "?"
  std::string RemoteAddr;
  std::string RemoteHost;  // looked up when first asked for
  bool RemoteHostLooked = false;
};

class cls_HTTP {
 public:
  // Settings handed over by the control before each request.
  int SlotIndex = 0;
  std::string VirtualPath;  // document root
  std::string ServerIP;
  std::string ServerPort;
  std::string ServerSoftware;
  std::string ServerName;
  bool SSIEnable = false;
  std::string CGIDirectory;
  int CGITimeout = 0;
  ServalaLiteServer* Control = nullptr;
  ContentTypeCache* Types = nullptr;
  FileCache* Files = nullptr;  // files kept between requests; none when null
  PathWatch* Paths = nullptr;  // paths kept between requests; looked up each time when null
  HostNames* Names = nullptr;  // peers' host names; with none, REMOTE_HOST is the address

  RequestContext Context;

  // Status line, "Server:", "Date:", "Content-Length:" (when length is not 0, or always with
  // lengthAlways), "Content-Type:" (when not blank) and, with addBlankLine, the empty line; each
  // ending in CR LF.
  std::string BuildHeader(const std::string& status, long long length, const std::string& type,
                          bool addBlankLine, bool lengthAlways = false) const;

  // Header and body for the file at host path `localPath` (body only when withHeader is false),
  // or "" when there is no such file.
  std::string ServeFile(const std::string& localPath, const std::string& status,
                        const RequestContext& context, bool withHeader = true);
  // The same for a file whose identity the caller has just looked at: a kept copy of the file
  // with that identity is served without reading the file again.
  std::string ServeFile(const std::string& localPath, const FileIdentity& known,
                        const std::string& status, const RequestContext& context,
                        bool withHeader = true);

  // The reply for the file at `localPath` that the caller looked up as `known`: a large file that
  // is sent as it stands stays in the file (the reply holds it open), everything else is text.
  // With headOnly the reply is the header alone. An empty reply when the file there now is not
  // the one looked up, or not a regular file.
  HttpReply ServeFileReply(const std::string& localPath, const FileIdentity& known,
                           const std::string& status, const RequestContext& context, bool headOnly);

  // The whole reply for a failed request.
  std::string BuildErrorReply(const std::string& code, bool useFiles, bool showPages);
  std::string BuildTooBusyPage() const;

  // Page rewriting, each taking the page and returning the rewritten page.
  std::string NormalizeDirectives(std::string page) const;
  std::string ExpandVariables(std::string page);
  std::string ExpandTagged(std::string page, const std::string& opener, const std::string& closer);
  std::string ExpandIncludes(std::string page);
  std::string GetServerVariable(const std::string& name);

  // Content type for a file name by its extension; "" when unknown.
  std::string ContentTypeFor(const std::string& fileName);

 private:
  struct IncludeBudget {
    int files = 0;
  };
  std::string ServeFile(const std::string& localPath, const FileIdentity* known,
                        const std::string& status, const RequestContext& context, bool withHeader);
  // Header (with withHeader) and body of a file read into memory.
  std::string Compose(const struct CachedFile& file, const std::string& status, bool withHeader);
  // The document root as a host path, worked out once per VirtualPath.
  const std::string& RootHostPath();

  int includeDepth_ = 0;
  std::shared_ptr<IncludeBudget> budget_;
  std::string rootFor_;
  std::string rootHost_;
};

}  // namespace servala
