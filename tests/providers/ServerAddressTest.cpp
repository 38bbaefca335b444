// Where OLLAMA_HOST and TAVLO_LMSTUDIO_URL send the model calls. Runs on the test's main thread.
#include <gtest/gtest.h>

#include <cstdlib>

#include "providers/ProviderConfig.hpp"

namespace tavlo {
namespace {

// The Ollama tool's own readings of OLLAMA_HOST: the URL the companion calls and the host it names
// when the server is another computer ("" for this one), or the error a bad value gives.
TEST(ServerAddressTest, OllamaHostReadsAsTheOllamaToolReadsIt) {
  const struct { const char* value; std::string url, remote; } cases[] = {
      {"", "http://127.0.0.1:11434", ""},
      {"gpu-box", "http://gpu-box:11434", "gpu-box"},
      {" 'gpu-box:8080' ", "http://gpu-box:8080", "gpu-box"},
      {"\"192.168.1.20\"", "http://192.168.1.20:11434", "192.168.1.20"},
      {"http://gpu-box", "http://gpu-box:80", "gpu-box"},  // a scheme brings its own port
      {"HTTPS://gpu-box", "https://gpu-box:443", "gpu-box"},
      {"https://gpu-box:8443/ollama//", "https://gpu-box:8443/ollama", "gpu-box"},
      {"fd00::5", "http://[fd00::5]:11434", "fd00::5"},
      {"[fd00::5]:9000", "http://[fd00::5]:9000", "fd00::5"},
      {"gpu-box:", "http://gpu-box:11434", "gpu-box"},
      // This computer, however written.
      {"0.0.0.0", "http://127.0.0.1:11434", ""},
      {"::", "http://[::1]:11434", ""},
      {":11500", "http://127.0.0.1:11500", ""},
      {"localhost", "http://localhost:11434", ""},
      {"127.0.0.2:1", "http://127.0.0.2:1", ""},
      {"[::1]", "http://[::1]:11434", ""},
      // Bad values.
      {"ftp://gpu-box", "the scheme must be http or https", ""},
      {"gpu-box:99999", "the port must be a number from 1 to 65535", ""},
      {"gpu-box:80a", "the port must be a number from 1 to 65535", ""},
      {"[fd00::5:80", "an IPv6 address goes in brackets: [ADDRESS]:PORT", ""},
      {"[fd00::5]x", "an IPv6 address goes in brackets: [ADDRESS]:PORT", ""},
      {"fd00::5::1", "'fd00::5::1' is not a host name or address", ""},
      {"me@gpu-box", "'me@gpu-box' is not a host name or address", ""},
      {"-gpu", "'-gpu' is not a host name or address", ""},
      {"http://gpu-box/a b", "the path may not hold blanks, '?', '#' or '\\'", ""},
  };
  for (const auto& c : cases) {
    const auto address = parseServerAddress(c.value, 11434);
    const auto got = address ? std::make_pair(address->url, address->remoteHost)
                             : std::make_pair(address.error().message, std::string());
    EXPECT_EQ(got, std::make_pair(c.url, c.remote)) << c.value;
  }
}

// LM Studio's own default port when TAVLO_LMSTUDIO_URL names none. (Both variables read, a final "/v1"
// dropped, a bad value named, and what a remote model is called: the end-to-end command tests.)
TEST(ServerAddressTest, LMStudioWithoutAPortIsAsked1234) {
  ::setenv("TAVLO_LMSTUDIO_URL", "studio.lan", 1);
  ProviderConfig config;
  EXPECT_TRUE(config.readServerAddresses().ok());
  ::unsetenv("TAVLO_LMSTUDIO_URL");
  EXPECT_EQ(config.lmStudioURL + " " + config.lmStudioHost, "http://studio.lan:1234 studio.lan");
}

}  // namespace
}  // namespace tavlo
