// The words for an update image's signature block, one wording for every tool that shows it
// (mkupdate's list and check, rehearse's plan).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "image/image_signature.h"

// An image without a block: the word that stored plans already say.
inline constexpr std::string_view kUnsignedWords = "unsigned";

// "unsigned", "damaged signature block", or "key ID, format F, security version N" for what
// parseSignatureBlock found (block is read only when it found one).
std::string signatureBlockWords(SignatureBlockParse parsed, const SignatureBlock& block);
// The same for file 0 of an image.
std::string signatureBlockWords(std::span<const std::uint8_t> file0);
