// Which engine a configuration names.
#include "store/store.h"

namespace hub::store {

bool isPostgres(std::string_view database) {
  return database.starts_with("postgresql://") || database.starts_with("postgres://");
}

std::unique_ptr<Store> openStore(const std::string& database, const std::filesystem::path& data) {
  if (isPostgres(database)) return openPostgres(database);
  if (!database.empty()) throw Unavailable("database must be a postgresql:// address, or none for SQLite");
  std::error_code ec;
  if (!std::filesystem::is_directory(data, ec))
    throw Unavailable("data directory " + data.string() + " does not exist (create it, or give --data DIR)");
  return openSqlite(data / "hub.sqlite3");
}

}  // namespace hub::store
