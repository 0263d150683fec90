// WinINet's published descriptions of its error codes, each followed by one
// blank; two certificate codes carry their constant names.
#include "agent/clients/ftp_error_text.h"

#include <algorithm>
#include <iterator>

#include "agent/app/error_texts.h"

namespace hvm {
namespace {

struct InetText {
  uint32_t code;
  const char16_t* text;
};

constexpr InetText kInetTexts[] = {
    {12001, u"No more handles could be generated at this time. "},
    {12002, u"The request has timed out. "},
    {12003, u"An extended error was returned from the server. "},
    {12004, u"An internal error has occurred. "},
    {12005, u"The URL is invalid. "},
    {12006, u"The URL scheme could not be recognized, or is not supported. "},
    {12007, u"The server name could not be resolved. "},
    {12008, u"The requested protocol could not be located. "},
    {12009, u"A request to InternetQueryOption or InternetSetOption specified an invalid option value. "},
    {12010, u"The length of an option supplied to InternetQueryOption or InternetSetOption is incorrect for the type of option specified. "},
    {12011, u"The request option cannot be set, only queried. "},
    {12012, u"The Win32 Internet function support is being shut down or unloaded. "},
    {12013, u"The request to connect and log on to an FTP server could not be completed because the supplied user name is incorrect. "},
    {12014, u"The request to connect and log on to an FTP server could not be completed because the supplied password is incorrect. "},
    {12015, u"The request to connect to and log on to an FTP server failed. "},
    {12016, u"The requested operation is invalid. "},
    {12017, u"The operation was canceled, usually because the handle on which the request was operating was closed before the operation completed. "},
    {12018, u"The type of handle supplied is incorrect for this operation. "},
    {12019, u"The requested operation cannot be carried out because the handle supplied is not in the correct state. "},
    {12020, u"The request cannot be made via a proxy. "},
    {12021, u"A required registry value could not be located. "},
    {12022, u"A required registry value was located but is an incorrect type or has an invalid value. "},
    {12023, u"Direct network access cannot be made at this time. "},
    {12024, u"An asynchronous request could not be made because a zero context value was supplied. "},
    {12025, u"An asynchronous request could not be made because a callback function has not been set. "},
    {12026, u"The required operation could not be completed because one or more requests are pending. "},
    {12027, u"The format of the request is invalid. "},
    {12028, u"The requested item could not be located. "},
    {12029, u"The attempt to connect to the server failed. "},
    {12030, u"The connection with the server has been terminated. "},
    {12031, u"The connection with the server has been reset. "},
    {12032, u"The function needs to redo the request. "},
    {12033, u"The request to the proxy was invalid. "},
    {12034, u"A user interface or other blocking operation has been requested. "},
    {12036, u"The request failed because the handle already exists. "},
    {12037, u"SSL certificate date that was received from the server is bad. The certificate is expired. "},
    {12038, u"SSL certificate common name (host name field) is incorrect. "},
    {12039, u"The application is moving from a non-SSL to an SSL connection because of a redirect. "},
    {12040, u"The application is moving from an SSL to an non-SSL connection because of a redirect. "},
    {12041, u"The content is not entirely secure. Some of the content being viewed may have come from unsecured servers. "},
    {12042, u"The application is posting and attempting to change multiple lines of text on a server that is not secure. "},
    {12043, u"The application is posting data to a server that is not secure. "},
    {12044, u"The server is requesting client authentication. "},
    {12045, u"The function is unfamiliar with the Certificate Authority that generated the server's certificate. "},
    {12046, u"Client authorization is not set up on this computer. "},
    {12047, u"The application could not start an asynchronous thread. "},
    {12048, u"The function could not handle the redirection, because the scheme changed. "},
    {12049, u"Another thread has a password dialog box in progress. "},
    {12050, u"The dialog box should be retried. "},
    {12052, u"The data being submitted to an SSL connection is being redirected to a non-SSL connection. "},
    {12053, u"The request requires a CD-ROM to be inserted in the CD-ROM drive to locate the resource requested. "},
    {12054, u"The requested resource requires Fortezza authentication. "},
    {12055, u"The SSL certificate contains errors. "},
    {12056, u"ERROR_INTERNET_SEC_CERT_NO_REV"},
    {12057, u"ERROR_INTERNET_SEC_CERT_REV_FAILED"},
    {12110, u"The requested operation cannot be made on the FTP session handle because an operation is already in progress. "},
    {12111, u"The FTP operation was not completed because the session was aborted. "},
    {12112, u"Passive mode is not available on the server. "},
    {12130, u"An error was detected while parsing data returned from the Gopher server. "},
    {12131, u"The request must be made for a file locator. "},
    {12132, u"An error was detected while receiving data from the Gopher server. "},
    {12133, u"The end of the data has been reached. "},
    {12134, u"The supplied locator is not valid. "},
    {12135, u"The type of the locator is not correct for this operation. "},
    {12136, u"The requested operation can be made only against a Gopher+ server, or with a locator that specifies a Gopher+ operation. "},
    {12137, u"The requested attribute could not be located. "},
    {12138, u"The locator type is unknown. "},
    {12150, u"The requested header could not be located. "},
    {12151, u"The server did not return any headers. "},
    {12152, u"The server response could not be parsed. "},
    {12153, u"The supplied header is invalid. "},
    {12154, u"The request made to HttpQueryInfo is invalid. "},
    {12155, u"The header could not be added because it already exists. "},
    {12156, u"The redirection failed because either the scheme changed or all attempts made to redirect failed. "},
    {12157, u"The application experienced an internal error loading the SSL libraries. "},
    {12158, u"The function could not retrieve cache information. "},
    {12159, u"The required protocol stack is not loaded and the application cannot start WinSock. "},
    {12160, u"The HTTP request was not redirected. "},
    {12161, u"The HTTP cookie requires confirmation. "},
    {12162, u"The HTTP cookie was declined by the server. "},
    {12163, u"The Internet connection has been lost. "},
    {12164, u"The website or server indicated is unreachable. "},
    {12165, u"The designated proxy server cannot be reached. "},
    {12166, u"There was an error in the automatic proxy configuration script. "},
    {12167, u"The automatic proxy configuration script could not be downloaded. "},
    {12168, u"The redirection requires user confirmation. "},
    {12169, u"SSL certificate is invalid. "},
    {12170, u"SSL certificate was revoked. "},
    {12171, u"The function failed due to a security check. "},
    {12172, u"Initialization of the WinINet API has not occurred. "},
    {12173, u"Not currently implemented. "},
    {12174, u"The MS-Logoff digest header has been returned from the website. "},
};

}  // namespace

const char16_t* FtpInetErrorText(uint32_t code) {
  auto found = std::lower_bound(std::begin(kInetTexts), std::end(kInetTexts), code,
                                [](const InetText& e, uint32_t c) { return e.code < c; });
  return found != std::end(kInetTexts) && found->code == code ? found->text : nullptr;
}

const char16_t* FtpFallbackErrorText(uint32_t code, char16_t* buffer, size_t chars) {
  return GetErrorText(code, buffer, chars);
}

}  // namespace hvm
