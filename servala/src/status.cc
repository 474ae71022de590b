#include "servala/status.h"

#include <array>
#include <utility>

#include "strutil.h"

namespace servala {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 15> kStatus = {{
    {"200", "OK"},
    {"201", "Created"},
    {"202", "Accepted"},
    {"204", "No Content"},
    {"301", "Moved Permanently"},
    {"302", "Moved Temporarily"},
    {"304", "Not Modified"},
    {"400", "Bad Request"},
    {"401", "Unauthorized"},
    {"403", "Forbidden"},
    {"404", "Not Found"},
    {"500", "Internal Server Error"},
    {"501", "Not Implemented"},
    {"502", "Bad Gateway"},
    {"503", "Service Unavailable"},
}};

constexpr std::string_view kNbsp = "<dt>&nbsp;</dt>";

std::string Heading(std::string_view text) {
  std::string s = "<p><font color=\"#FF0000\" face=\"Arial\"><strong>";
  s += text;
  s += "</strong></font></p>";
  return s;
}

std::string Line(std::string_view text) {
  std::string s = "<dt><font face=\"Arial\">";
  s += text;
  s += "</font></dt>";
  return s;
}

std::string Title(std::string_view code) {
  return "<title>HTTP Error " + std::string(code) + "</title>";
}

std::string NotImplementedPage() {
  return ComposeErrorPage(Title("501"), Heading("HTPP 501: Not Implemented"),
                          {Line("Sorry, your valid request has not been displayed since this "
                                "server does not support the requested feature."),
                           kNbsp});
}

}  // namespace

std::string GetStatusText(std::string_view code) {
  for (const auto& [c, reason] : kStatus)
    if (c == code) return std::string(reason);
  return "Undefined Status Code";
}

std::string GetStatusCode(std::string_view reason) {
  for (const auto& [c, r] : kStatus)
    if (r == reason) return std::string(c);
  return "299";
}

std::string ComposeErrorPage(std::string_view title, std::string_view heading,
                             std::initializer_list<std::string_view> lines) {
  std::string page =
      "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
      "charset=iso-8859-1\">";
  page += title;
  page += "</head><body bgcolor=\"#FFFFFF\">";
  page += heading;
  page += "<dl>";
  for (auto line : lines) page += line;
  page += "</dl></body></html>";
  return page;
}

std::string cls_ErrorFiles::GetErrorPage(std::string_view code) const {
  if (code == "301" || code == "302") {
    const bool permanent = code == "301";
    return ComposeErrorPage(
        Title(code),
        Heading(permanent ? "HTPP 301: Moved Permanently" : "HTPP 302: Moved Temporarily"),
        {Line(permanent ? "Sorry, the request page has been permanently moved."
                        : "Sorry, the request page has been temporarily moved."),
         Line("Click the following link to go to the page:")});
  }
  if (code == "304")
    return ComposeErrorPage(Title(code), Heading("HTPP 304: Not Modified"), {kNbsp, kNbsp});
  if (code == "403")
    return ComposeErrorPage(
        Title(code), Heading("HTPP 403: Forbidden"),
        {Line("Sorry, you do not have permission to access the page you requested."), kNbsp});
  if (code == "404")
    return ComposeErrorPage(
        Title(code), Heading("HTTP 404: File Not Found"),
        {Line("Sorry, the requested page does not exist on this server."),
         Line("It is possible you typed the address incorrectly or that the page no longer "
              "exists. ")});
  if (code == "500")
    return ComposeErrorPage(Title(code), Heading("HTPP 500: Internal Server Error"),
                            {Line("Sorry, your valid request has not been displayed due to an "
                                  "internal server error."),
                             kNbsp});
  if (code == "502")
    return ComposeErrorPage(Title(code), Heading("HTPP 502: Bad Gateway"),
                            {Line("Sorry, your valid request has not been displayed due to a "
                                  "problem with the gateway."),
                             kNbsp});
  if (code == "503")
    return ComposeErrorPage(Title(code), Heading("HTPP 503: Service Unavailable"),
                            {kNbsp,
                             Line("Sorry, your valid request has not been displayed since this "
                                  "server does not support the requested feature."),
                             kNbsp});
  if (code == "ServerTooBusy")
    return ComposeErrorPage("<title>Error: Server Too Busy</title>",
                            Heading("Sorry, server too busy."),
                            {"<dt><font face=\"Arial\">Sorry, the server is too busy to handle "
                             "you request.</dt>",
                             kNbsp});
  return NotImplementedPage();
}

namespace {

// In the control's own order; the first row for an extension wins. Rows without an extension
// can never match a file and are kept only as comments of the table's origin.
constexpr std::pair<std::string_view, std::string_view> kContentTypes[] = {
    {"text", "text/plain"},
    {"txt", "text/plain"},
    {"html", "text/html"},
    {"htm", "text/html"},
    {"csv", "csv/tab-separated-values"},
    {"asc", "text/plain"},
    {"asp", "text/asp"},
    {"css", "text/css"},
    {"rt", "text/vnd.rn-realtext"},
    {"scp", "text/plain"},
    {"sct", "text/scriptlet"},
    {"stm", "text/plain"},
    {"wsc", "text/scriptlet"},
    {"wtx", "text/plain"},
    {"xml", "text/xml"},
    {"xsl", "text/xml"},
    {"jpg", "image/jpeg"},
    {"jpeg", "image/jpeg"},
    {"tif", "image/tiff"},
    {"tiff", "image/tiff"},
    {"cgm", "image/cgm"},
    {"dwg", "image/vnd.dwg"},
    {"dxf", "image/vnd.dxf"},
    {"bmp", "image/bmp"},
    {"bmp", "image/bitmap"},
    {"bmp", "image/x-xbitmap"},
    {"gif", "image/gif"},
    {"dib", "image/gif"},
    {"png", "image/png"},
    {"png", "image/x-png"},
    {"art", "image/xjg"},
    {"art", "image/x-jg"},
    {"emf", "image/x-emf"},
    {"wmf", "image/x-wmf"},
    {"mac", "image/x-macpaint"},
    {"cam", "image/bitmap"},
    {"pct", "image/pict"},
    {"pic", "image/pict"},
    {"pcx", "image/bitmap"},
    {"qti", "image/x-quicktime"},
    {"qtif", "image/x-quicktime"},
    {"rf", "image/vnd.rn-realflash"},
    {"rp", "image/vnd.rn-realpix"},
    {"sun", "image/bmp"},
    {"tga", "image/bmp"},
    {"aiff", "audio/x-aiff"},
    {"aif", "audio/x-aiff"},
    {"au", "audio/basic"},
    {"wave", "audio/wav"},
    {"wav", "audio/wav"},
    {"mp3", "audio/x-mpeg"},
    {"mp2", "audio/x-mpeg"},
    {"mpa", "audio/x-mpeg"},
    {"mpega", "audio/x-mpeg2"},
    {"mid", "audio/mid"},
    {"ra", "audio/x-pn-realaudio"},
    {"ram", "audio/x-pn-realaudio"},
    {"rmi", "audio/mid"},
    {"rpm", "audio/x-pn-realaudio-plugin"},
    {"sd2", "audio/x-sd2"},
    {"snd", "audio/basic"},
    {"wax", "audio/x-ms-wax"},
    {"rmm", "audio/x-pn-realaudio"},
    {"avi", "video/avi"},
    {"mpa", "video/mpeg"},
    {"mpe", "video/mpeg"},
    {"mpeg", "video/mpeg"},
    {"mp2v", "video/mpeg"},
    {"mov", "video/quicktime"},
    {"mpg", "video/mpeg"},
    {"", "video/vnd.vivo"},
    {"movie", "video/x-sgi-movie"},
    {"qt", "video/quicktime"},
    {"rv", "video/vnd.rn-realvideo"},
    {"vdo", "video/vdo"},
    {"wm", "video/x-ms-wm"},
    {"wma", "video/x-ms-wm"},
    {"wmv", "video/x-ms-wmv"},
    {"wvx", "video/x-ms-wvx"},
    {"eml", "message/rfc822"},
    {"mhtmessage/rfc822", ""},
    {"mhtml", "message/rfc822"},
    {"", "message/rfc822"},
    {"", "model/iges"},
    {"vrml", "model/vrml"},
    {"", "model/mesh"},
    {"", "model/vnd.dwf"},
    {"", "model/vnd.gtw"},
    {"", "model/vnd.flatland.3dml"},
    {"doc", "application/msword"},
    {"dot", "application/msword"},
    {"xls", "application/msexcel"},
    {"xlc", "application/xlc"},
    {"hta", "application/hta"},
    {"mdb", "application/msaccess"},
    {"ppt", "application/x-mspowerpoint"},
    {"pdf", "application/pdf"},
    {"tgz", "application/x-compressed"},
    {"zip", "application/x-zip-compressed"},
    {"gz", "application/x-gzip-compressed"},
    {"class", "application/x-java"},
    {"js", "application/x-javascript"},
    {"ipx", "application/x-ipix"},
    {"cer", "application/x-x509-ca-cert"},
    {"crt", "application/x-x509-ca-cert"},
    {"der", "application/x-x509-ca-cert"},
    {"dll", "application/x-msdownload"},
    {"eps", "application/postscript"},
    {"exe", "application/x-msdownload"},
    {"fdf", "application/vnd.fdf"},
    {"fif", "application/fractals"},
    {"hqx", "application/mac-binhex40"},
    {"hta", "application/hta"},
    {"iii", "application/x-iphone"},
    {"ips", "application/x-ipscript"},
    {"latex", "application/x-latex"},
    {"ls", "application/x-javascript"},
    {"mocha", "application/x-javascript"},
    {"pdf", "application/pdf"},
    {"pl", "application/x-perl"},
    {"pot", "application/vnd.ms-powerpoint"},
    {"ppa", "application/vnd.ms-powerpoint"},
    {"pps", "application/vnd.ms-powerpoint"},
    {"ps", "application/postscript"},
    {"rm", "application/vnd.rn-realmedia"},
    {"rmj", "application/vnd.rn-rn-taiko-real-rmj"},
    {"rmp", "application/vnd.rn-rn_music_package"},
    {"rmx", "application/vnd.rn-rn-taiko-real-rmx"},
    {"rnx", "application/vnd.rn-realplayer"},
    {"rtf", "application/msword"},
    {"sit", "application/x-stuffit"},
    {"smil", "application/smil"},
    {"ssm", "application/streamingmedia"},
    {"tar", "application/x-tar"},
    {"xpl", "application/x-xplug"},
    {"xwz", "application/x-xwiz"},
    {"java", "application/java"},
    {"java", "java/*"},
};

}  // namespace

std::string BuiltInContentType(std::string_view ext) {
  if (ext.empty()) return "";
  for (const auto& [e, type] : kContentTypes)
    if (EqualsNoCase(e, ext)) return std::string(type);
  return "";
}

}  // namespace servala
