// The agent's English error table and the four-step look-up of error texts.
#include "agent/app/error_texts.h"

#include <algorithm>
#include <iterator>

#include "agent/app/language.h"
#include "lang/language_library.h"
#include "platform/wide_format.h"
#include "platform/wide_text.h"

namespace hvm {
namespace {

struct ErrorEntry {
  DWORD code;
  const char16_t* text;
};

// Texts shared by a WinHTTP-derived HRESULT and its URL-moniker twin.
constexpr const char16_t* kTimedOut = u"The Internet connection has timed out.()";
constexpr const char16_t* kInvalidAddress = u"The URL could not be parsed.()";
constexpr const char16_t* kUnknownProtocol =
    u"The protocol is not known and no pluggable protocols have been entered that match.()";
constexpr const char16_t* kObjectNotFound = u"The object was not found.()";
constexpr const char16_t* kCannotConnect = u"The attempt to connect to the Internet has failed.()";
constexpr const char16_t* kNoProgram = u"No program is registered to open this file.";
constexpr const char16_t* kCannotOpenFile = u"Cannot open the specified file.()";

constexpr ErrorEntry kEnglish[] = {
    // Windows error codes met by the agent.
    {6, u"The handle is invalid. (Windows error code)"},
    {8, u"Not enough storage is available to process this command. (Windows error code)"},
    {18, u"No more files have been found. (Windows error code) "},
    {50, u"The required protocol stack is not loaded and the application cannot start WinSock.()"},
    {122, u"The data area passed to a system call is too small. (Windows error code)"},
    {259, u"No more data is available. (Windows error code)"},
    // HTTP statuses of the WebDAV server.
    {400, u" Bad Request (400)"},
    {401, u"The requested resource requires user authentication.(401)"},
    {403, u" Forbidden (403) "},
    {404, u" Not Found (404)"},
    {405, u" Method Not Allowed (405)"},
    {409, u" Conflict (409)"},
    {412, u" Precondition Failed (412)"},
    {415, u" Unsupported Media Type(415 )"},
    {416, u"Requested Range not satisfiable Explained(416)"},
    {423, u" Locked (423) "},
    {424, u" Failed Dependency(424)"},
    {500, u" Internal Server error (500)"},
    {501, u" Not implemented (501)"},
    {502, u" Bad Gateway (502)"},
    {507, u" Insufficient Storage(507)"},
    {1000, u"There is no internet connectivity,\n please check your internet connection"},
    // WinHTTP errors.
    {12001, u"No more handles could be generated at this time.(12001)"},
    {12002, u"The request has timed out.(12002). \nMaybe you should increase the value of the "
            u"timeouts in the connection.\nYou can do it in the menu \"Advanced\""},
    {12004, u"An internal error has occurred.(12004)"},
    {12005, u"The URL is invalid.(12005)"},
    {12006, u"The URL specified a scheme other than \"http:\" or \"https:\".(12006)"},
    {12007, u"The server name cannot be resolved.(12007)"},
    {12009, u"A request to query or set an option specified an invalid option value.(12009)"},
    {12011, u"The requested option cannot be set, only queried.(12011)"},
    {12012, u"The HTTP function support is being shut down or unloaded.(12012)"},
    {12015, u"The login attempt failed.(12015)"},
    {12017, u"The operation was canceled, usually because the handle on which the request was "
            u"operating was closed before the operation completed.(12017)"},
    {12018, u"The type of handle supplied is incorrect for this operation.(12018)"},
    {12019, u"The requested operation cannot be carried out because the handle supplied is not "
            u"in the correct state.(12019)"},
    {12029, u"Returned if connection to the server failed.(12029)"},
    {12030, u"The connection with the server has been reset or terminated, or an incompatible "
            u"SSL protocol was encountered.(12030)"},
    {12032, u"The function failed. The desired function can be retried on the same request "
            u"handle.(12032)"},
    {12037, u"The SSL certificate date that was received from the server is bad. The certificate "
            u"is expired.(12037)"},
    {12038, u"The SSL certificate common name (host name field) is incorrect.(12038)"},
    {12044, u"The server requests client authentication.(12044)"},
    {12045, u"The certificate chain was processed, but terminated in a root certificate that is "
            u"not trusted.(12045)"},
    {12057, u"Revocation cannot be checked because the revocation server was offline.(12057)"},
    {12100, u"The requested operation cannot be performed before calling the Open method.(12100)"},
    {12101, u"The requested operation cannot be performed before calling the Send method.(12101)"},
    {12102, u"The requested operation cannot be performed after calling the Send method.(12102)"},
    {12103, u"The specified option cannot be requested after the Open method has been "
            u"called.(12103)"},
    {12150, u"The requested header could not be located.(12150)"},
    {12152, u"The server response could not be parsed.(12152)"},
    {12154, u"The header query request is invalid.(12154)"},
    {12155, u"The header could not be added because it already exists.(12155)"},
    {12156, u"The redirection failed because either the scheme changed or all attempts made to "
            u"redirect failed.(12156)"},
    {12157, u"An error occurred in the secure channel support.(12157)"},
    {12166, u"An error occurred executing the script code in the proxy auto-configuration "
            u"file.(12166)"},
    {12167, u"The proxy auto-configuration file could not be downloaded.(12167)"},
    {12169, u"The certificate is invalid.(12169)"},
    {12170, u"The certificate has been revoked.(12170)"},
    {12172, u"The HTTP subsystem has not been initialized.(12172)"},
    {12175, u"One or more errors were found in the Secure Sockets Layer (SSL) certificate sent "
            u"by the server.(12175)"},
    {12178, u"A proxy for the specified URL cannot be located.(12178)"},
    {12179, u"The certificate is not valid for the requested usage.(12179)"},
    {12180, u"The address of the proxy auto-configuration file could not be discovered.(12180)"},
    {12181, u"A larger number of headers were present in a response than could be "
            u"received.(12181)"},
    {12182, u"The size of the headers received exceeds the limit for the request handle.(12182)"},
    {12183, u"An overflow condition was encountered in the course of parsing chunked "
            u"encoding.(12183)"},
    {12184, u"An incoming response exceeds an internal size limit.(12184)"},
    // COM and URL-moniker results.
    {0x80004004, u"Operation aborted.()"},
    {0x80040154, kNoProgram},
    {0x800401E4, kInvalidAddress},
    {0x800401E6, kNoProgram},
    {0x800401EA, kCannotOpenFile},
    {0x80072EE2, kTimedOut},
    {0x80072EE5, kInvalidAddress},
    {0x80072EE8, kUnknownProtocol},
    {0x80072EFC, kObjectNotFound},
    {0x80072EFD, kCannotConnect},
    {0x800C0002, kInvalidAddress},
    {0x800C0003, u"No Internet session has been established.()"},
    {0x800C0004, kCannotConnect},
    {0x800C0005, u"The server or proxy was not found.()"},
    {0x800C0006, kObjectNotFound},
    {0x800C0007, u"An Internet connection was established, but the data cannot be retrieved.()"},
    {0x800C0008, u"The download has failed (the connection was interrupted).()"},
    {0x800C0009, u"Authentication is needed to access the object.()"},
    {0x800C000A, u"The object is not in one of the acceptable MIME types.()"},
    {0x800C000B, kTimedOut},
    {0x800C000C, u"The request was invalid.()"},
    {0x800C000D, kUnknownProtocol},
    {0x800C000E, u"A security problem was encountered.()"},
    {0x800C000F, kCannotOpenFile},
    {0x800C0010, u"The object could not be created.()"},
    // The agent's own codes.
    {HVM_ERR_GENERAL, u"Error"},
    {HVM_ERR_WRITE_FILE, u"Error writting to afile"},
    {HVM_ERR_READ_FILE, u"Error reading from afile"},
    {HVM_ERR_READ_TMPFILE2, u"Error reading from tmpFile2"},
    {HVM_ERR_READ_TEMPFILE, u"Cannot read from tempfile"},
    {HVM_ERR_READ, u"Read error"},
    {HVM_ERR_WRITE, u"Cannot write into the file"},
    {HVM_ERR_BAD_XML, u"The server sent an unparsable XML"},
};

const char16_t* TranslatedErrorText(const LanguageModule* module, DWORD code) {
  if (module == nullptr) return nullptr;
  auto lookup = reinterpret_cast<WebdavErrorMsgFunction>(module->FindExport(kWebdavErrorMsgExport));
  return lookup != nullptr ? lookup(code) : nullptr;
}

}  // namespace

const char16_t* EnglishErrorText(DWORD code) {
  auto entry = std::find_if(std::begin(kEnglish), std::end(kEnglish),
                            [code](const ErrorEntry& e) { return e.code == code; });
  return entry != std::end(kEnglish) ? entry->text : nullptr;
}

const char16_t* GetErrorText(const LanguageModule* module, DWORD code, char16_t* buffer,
                             size_t chars) {
  if (buffer == nullptr || chars == 0) return buffer;
  const char16_t* text = TranslatedErrorText(module, code);
  if (text == nullptr) text = EnglishErrorText(code);
  if (text == nullptr) text = SystemErrorText(code);
  if (text != nullptr) {
    CopyWide(buffer, chars, text);
  } else {
    FormatWideBuf(buffer, chars, u"%ld", static_cast<long>(static_cast<LONG>(code)));
  }
  return buffer;
}

const char16_t* GetErrorText(DWORD code, char16_t* buffer, size_t chars) {
  return GetErrorText(CurrentLanguageModule(), code, buffer, chars);
}

}  // namespace hvm
