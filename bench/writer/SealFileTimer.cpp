// tvr-seal-timer: the floor of the writer benchmark. Seals one file in process, on one core,
// with a fresh random key, and prints the wall time in seconds (best of --rounds).
//
// usage: tvr-seal-timer <plaintext file> <blob file to write> [--rounds N]
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "engine/crypto/EncryptedBlobCodec.h"
#include "engine/crypto/RepositoryKeyMaterial.h"

int main(int argc, char** argv) {
  if (argc != 3 && !(argc == 5 && std::string(argv[3]) == "--rounds")) {
    std::cerr << "usage: tvr-seal-timer <plaintext file> <blob file to write> [--rounds N]\n";
    return 2;
  }
  const int rounds = argc == 5 ? std::atoi(argv[4]) : 1;
  tvr::EncryptedBlobCodec codec(tvr::RepositoryKeyMaterial::random());
  for (int round = 0; round < rounds; ++round) {
    const auto start = std::chrono::steady_clock::now();
    codec.sealFile(argv[1], argv[2]);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    std::cout << elapsed.count() << "\n";
  }
  std::filesystem::remove(argv[2]);
  return 0;
}
