#include "core/user_db_reader.h"

namespace tide {

int ReadUserDbViews(ReadOnlyDb& db, std::vector<UserInfo>* views) {
  return db.Query("SELECT view_id, name, user_type, attribute, watch_path, uid, gid FROM user_table;",
                  [&](sqlite3_stmt* row) {
                    UserInfo info;
                    info.m_view_id = ReadOnlyDb::Number(row, 0);
                    info.m_name = ReadOnlyDb::Text(row, 1);
                    info.m_user_type = sqlite3_column_int(row, 2);
                    if (info.m_user_type == USER_TYPE_SHARE && !info.m_name.empty() && info.m_name[0] == '@') {
                      info.m_name.erase(0, 1);
                    }
                    info.m_attribute = static_cast<uint32_t>(ReadOnlyDb::Number(row, 3));
                    info.m_watch_path = ReadOnlyDb::Text(row, 4);
                    info.m_uid = static_cast<uint32_t>(ReadOnlyDb::Number(row, 5));
                    info.m_gid = static_cast<uint32_t>(ReadOnlyDb::Number(row, 6));
                    views->push_back(std::move(info));
                  });
}

}  // namespace tide
