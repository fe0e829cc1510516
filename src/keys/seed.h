// The per-connection seed, derived from the two peers' address texts.
#pragma once

#include <string>

namespace keyvane {

// The waiting side's address, ".", the connecting side's address.
std::string CombinedAddressText(bool isHost, const std::string& ownIP, const std::string& peerIP);

// The seed handed to BuildKeyFiles: always 8 to 48 digits "1" to "9".
std::string ConnectionSeed(const std::string& combined);

}  // namespace keyvane
