// An empty program linked against the shared libraries tvr loads at start (see
// CMakeLists.txt): what loading them costs before any code of ours runs. run.py sets the
// commands against it.
#include <string>

int main(int argc, char**) {
  std::string text(static_cast<std::size_t>(argc), 'x');
  return text.empty() ? 1 : 0;
}
