// Stands in for the downloaded installer in the update check's tests: it
// records that it ran, and in which folder, in "installer-ran.txt" in its
// working folder, then exits.
#include <filesystem>
#include <fstream>

int main() {
  std::ofstream out("installer-ran.txt", std::ios::binary);
  out << "ran in " << std::filesystem::current_path().string() << "\n";
  return out ? 0 : 1;
}
