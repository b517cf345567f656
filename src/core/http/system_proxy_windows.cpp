// The user's Internet settings, for requests no proxy variable governs.
// Built and checked by mingw-w64 here, run only on Windows.
#include <winsock2.h>
// windows.h only after Winsock 2, or it pulls in the old winsock.h, which
// collides with the winsock2.h that curl's headers include.
#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <map>
#include <mutex>
#include <utility>

#include "core/http/system_proxy.hpp"

namespace tvlib::http::detail {

namespace {

std::string utf8(const wchar_t* text) {
  if (text == nullptr || *text == L'\0') {
    return {};
  }
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string converted(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, converted.data(), size, nullptr, nullptr);
  converted.resize(converted.size() - 1);  // the NUL
  return converted;
}

std::wstring wide(const std::string& text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring converted(static_cast<std::size_t>(size > 0 ? size : 1), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, converted.data(), size);
  converted.resize(converted.size() - 1);
  return converted;
}

// WinHTTP hands out strings the caller frees with GlobalFree.
struct GlobalText {
  wchar_t* text;
  explicit GlobalText(wchar_t* owned) : text(owned) {}
  GlobalText(const GlobalText&) = delete;
  GlobalText& operator=(const GlobalText&) = delete;
  ~GlobalText() {
    if (text != nullptr) {
      GlobalFree(text);
    }
  }
};

// The answer of automatic detection or the configuration script: a proxy,
// direct (nullopt inside), or nothing when the script could not be had, in
// which case the manual setting applies, as in the browser.
using Answer = std::optional<std::optional<std::string>>;

Answer ask_winhttp(const std::string& url, bool detect, const wchar_t* script) {
  // One session for the process, never closed: it caches the script.
  // WinHTTP sessions may be used from several threads at once.
  static const HINTERNET session =
      WinHttpOpen(L"Kolvaren", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                  WINHTTP_NO_PROXY_BYPASS, 0);
  if (session == nullptr) {
    return std::nullopt;
  }
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (detect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags =
        WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (script != nullptr) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = script;
  }
  // A script at the address the settings give may sit behind the company's
  // sign-in and is fetched with the user's logon; one that detection found
  // is wherever the network said, and gets no logon.
  options.fAutoLogonIfChallenged = detect ? FALSE : TRUE;
  WINHTTP_PROXY_INFO info{};
  if (!WinHttpGetProxyForUrl(session, wide(url).c_str(), &options, &info)) {
    return std::nullopt;
  }
  const GlobalText proxy{info.lpszProxy};
  const GlobalText bypass{info.lpszProxyBypass};
  Answer answer;
  answer.emplace();
  if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
    *answer = proxy_from_lists(utf8(proxy.text), utf8(bypass.text), url);
  }
  return answer;
}

// Asks WinHTTP once per scheme and host and keeps the answer a while.
Answer proxy_from_script(const std::string& url, bool detect, const wchar_t* script) {
  // Detection can take seconds when the network has no WPAD host, so each
  // answer is kept a while, for the URL's scheme and host. The lock guards
  // the kept answers only, never a detection: the interface thread's health
  // check must not wait behind a worker's. Two threads that both find no
  // answer both ask; the later answer is kept.
  static std::mutex mutex;
  static std::map<std::string, std::pair<std::chrono::steady_clock::time_point, Answer>>
      answers;
  const std::string key = url.substr(0, url.find('/', url.find("://") + 3));
  {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(mutex);
    if (const auto kept = answers.find(key);
        kept != answers.end() && now - kept->second.first < std::chrono::minutes(5)) {
      return kept->second.second;
    }
  }
  Answer answer = ask_winhttp(url, detect, script);
  const std::lock_guard lock(mutex);
  answers[key] = {std::chrono::steady_clock::now(), answer};
  return answer;
}

}  // namespace

std::optional<SystemProxy> system_proxy_for(const std::string& url) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
  if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) {
    return std::nullopt;  // no settings for this user: direct
  }
  const GlobalText script{settings.lpszAutoConfigUrl};
  const GlobalText manual{settings.lpszProxy};
  const GlobalText bypass{settings.lpszProxyBypass};
  Answer scripted;
  if (settings.fAutoDetect || script.text != nullptr) {
    scripted = proxy_from_script(url, settings.fAutoDetect != FALSE, script.text);
  }
  return choose_system_proxy(scripted, utf8(manual.text), utf8(bypass.text), url);
}

}  // namespace tvlib::http::detail
