#!/usr/bin/env python3
"""Creates or extends the package's user database for tests and demos.

    make-user-db.py DB [--user NAME:VIEW_ID[:disabled]]... [--share NAME:VIEW_ID:PATH[:disabled]]...
                       [--users COUNT] [--first-view ID] [--files N] [--homes DIR]

--user puts a user home at HOMES/NAME; --users adds COUNT users "userN" with
view ids from --first-view on. With --files each new home folder gets N small
files. Folders of users and shares are created when missing. Importable:
create(), add_user(), add_share().
"""

import argparse
import os
import sqlite3

SCHEMA = (
    "BEGIN TRANSACTION;CREATE TABLE IF NOT EXISTS user_table ( \tid        INTEGER PRIMARY KEY AUTOINCREMENT, "
    "\tattribute INTEGER, \tview_id   INTEGER, \tname      VARCHAR COLLATE NOCASE, \tuid       INTEGER, "
    "\tgid       INTEGER, \tuser_type INTEGER NOT NULL, \twatch_path VARCHAR NOT NULL);"
    "CREATE TABLE IF NOT EXISTS session_table ( \tuid       INTEGER REFERENCES user_table (id), "
    "\tattribute INTEGER DEFAULT 0, \tgroup_id  INTEGER, \tclient    VARCHAR, \tip        VARCHAR, "
    "\tctime     DATETIME DEFAULT (strftime('%s','now')), \tsess_id   VARCHAR UNIQUE ON CONFLICT ABORT);"
    "CREATE TABLE IF NOT EXISTS config_table (        key       VARCHAR UNIQUE ON CONFLICT ABORT,"
    "        value     VARCHAR);INSERT OR IGNORE INTO config_table VALUES ('version', 7); END TRANSACTION;")

USER_DB = "/volume1/@tidewell/@sync/user-db.sqlite"
HOMES = "/volume1/homes"
DISABLED = 0x2
SHARE_TYPE = 1
USER_TYPE = 0


def create(path=USER_DB):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    conn = sqlite3.connect(path, isolation_level=None)
    conn.executescript(SCHEMA)
    return conn


def _fill(folder, files):
    os.makedirs(folder, exist_ok=True)
    for i in range(files):
        with open(os.path.join(folder, "file%d.txt" % i), "w") as f:
            f.write("content %d\n" % i)


def add_user(conn, name, view_id, watch_path=None, disabled=False, files=0, uid=1000, gid=100):
    watch_path = watch_path or os.path.join(HOMES, name)
    _fill(watch_path, files)
    conn.execute("INSERT INTO user_table (attribute, view_id, name, uid, gid, user_type, watch_path) "
                 "VALUES (?, ?, ?, ?, ?, ?, ?)",
                 (DISABLED if disabled else 0, view_id, name, uid, gid, USER_TYPE, watch_path))


def add_share(conn, name, view_id, watch_path, disabled=False, files=0):
    _fill(watch_path, files)
    conn.execute("INSERT INTO user_table (attribute, view_id, name, uid, gid, user_type, watch_path) "
                 "VALUES (?, ?, ?, 0, 0, ?, ?)",
                 (DISABLED if disabled else 0, view_id, "@" + name, SHARE_TYPE, watch_path))


def main():
    global HOMES
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("db", nargs="?", default=USER_DB)
    parser.add_argument("--user", action="append", default=[])
    parser.add_argument("--share", action="append", default=[])
    parser.add_argument("--users", type=int, default=0)
    parser.add_argument("--first-view", type=int, default=1000)
    parser.add_argument("--files", type=int, default=0)
    parser.add_argument("--homes", default=HOMES)
    args = parser.parse_args()
    HOMES = args.homes
    conn = create(args.db)
    conn.execute("BEGIN")
    for entry in args.user:
        parts = entry.split(":")
        add_user(conn, parts[0], int(parts[1]), disabled=parts[2:3] == ["disabled"], files=args.files)
    for entry in args.share:
        parts = entry.split(":")
        add_share(conn, parts[0], int(parts[1]), parts[2], disabled=parts[3:4] == ["disabled"], files=args.files)
    for i in range(args.users):
        add_user(conn, "user%d" % i, args.first_view + i, files=args.files)
    conn.execute("COMMIT")
    conn.close()


if __name__ == "__main__":
    main()
