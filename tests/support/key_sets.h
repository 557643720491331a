// Key sets as the makers' root keys sign them, composed here from the format alone (the
// statement's text, openssl's signatures), so that the daemon's reading of them is checked
// against an author of their own, not against its own writer.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/support/openssl_keys.h"

// A key file of key, a root key's with root.
std::string keyFileOf(const OpensslKey& key, bool root = false);

// The statement "keyset" of a set of key files (name -> the file's text).
std::string keySetStatementOf(std::uint32_t version, std::uint32_t threshold,
                              const std::map<std::string, std::string>& keyFiles);
// Its signatures "keyset.sig", one line per signer in the order given.
std::string keySetSignaturesOf(const std::string& statement,
                               const std::vector<const OpensslKey*>& signers);

// An update image whose archive holds its to-do list and update-keys/ with files (name ->
// content), without a LAP software image: unsigned.
std::vector<std::uint8_t> keySetUpdateImage(const std::map<std::string, std::string>& files,
                                            const std::string& todo = "UPDATE_KEYS\n");
