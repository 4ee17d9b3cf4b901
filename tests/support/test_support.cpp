// Shared test fixtures live beside this file; each fixture has its own
// header and source. This file keeps the library non-empty.
namespace testsupport {
int placeholder() { return 0; }
}  // namespace testsupport
