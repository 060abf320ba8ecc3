#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "engine/crypto/RepositoryKeyMaterial.h"

// Shared pieces of the fuzz harnesses.
namespace tvr::fuzz {

// The repository key of the sample repository in tests/fixtures (crypto-vectors.json), so
// that seeds taken from it open and the fuzzer gets past authentication.
const RepositoryKeyMaterial& fixtureKeyMaterial();

// A private folder for this process under $TMPDIR (or /tmp), created on first use and
// removed at exit; harnesses never write anywhere else.
const std::filesystem::path& scratchFolder();

// Replaces `file` with exactly these bytes.
void writeFile(const std::filesystem::path& file, const std::uint8_t* data, std::size_t size);

}  // namespace tvr::fuzz
