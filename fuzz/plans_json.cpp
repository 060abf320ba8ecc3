// plans.json: the JSON decoder, opening each plan's sealed folder paths with the fixture key,
// and the encoder on what decoded: a decoded index encodes to one that decodes the same.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/metadata/RepositoryPlanIndex.h"
#include "fuzz/FuzzSupport.h"
#include "platform/Error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  tvr::RepositoryPlanIndex index;
  try {
    index = tvr::RepositoryPlanIndex::decodeDocument(tvr::Bytes(data, data + size));
  } catch (const tvr::Error&) {
    return 0;
  }
  for (const tvr::RepositoryPlanSummary& plan : index.plans) {
    try {
      (void)plan.localPathHints(tvr::fuzz::fixtureKeyMaterial());
    } catch (const tvr::Error&) {
    }
  }
  std::string encoded = index.encodedDocument();
  if (tvr::RepositoryPlanIndex::decodeDocument(tvr::Bytes(encoded.begin(), encoded.end())) != index) std::abort();
  return 0;
}
