"""Installing like a service: `cmake --install` into a staging directory
puts every file in place, keeps configuration an administrator edited,
gives a unit systemd accepts, and man pages that render cleanly and name
every option, configuration key and log component."""

import glob
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("TIDE_BUILD", "")
SRC = os.environ.get("TIDE_SRC", "")
PREFIX = "/usr"
PACKAGE_ETC = "/var/packages/Tidewell/target/etc"
UNIT = PREFIX + "/lib/systemd/system/tide-clientd.service"
PROGRAMS = {PREFIX + "/sbin/tide-clientd", PREFIX + "/sbin/tide-refsyncd", PREFIX + "/bin/tide-clientctl"}
MAN_PAGES = {PREFIX + "/share/man/man8/tide-clientd.8", PREFIX + "/share/man/man8/tide-refsyncd.8",
             PREFIX + "/share/man/man1/tide-clientctl.1"}
DEFAULTS = {PACKAGE_ETC + "/tide-clientd.conf", PACKAGE_ETC + "/filter", PACKAGE_ETC + "/syncfolder_c.debug"}


def install(stage):
    env = dict(os.environ, DESTDIR=stage)
    return subprocess.run(["cmake", "--install", BUILD, "--prefix", PREFIX], env=env,
                          capture_output=True, text=True, timeout=120)


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def unit_settings(text):
    settings = {}
    for line in text.splitlines():
        if "=" in line and not line.startswith("#"):
            key, value = line.split("=", 1)
            settings[key.strip()] = value.strip()
    return settings


def render(page):
    """What man prints on its error stream while rendering the page."""
    env = dict(os.environ, MANWIDTH="80")
    result = subprocess.run(["man", "-l", "--warnings", "-E", "UTF-8", page], env=env,
                            capture_output=True, text=True, timeout=60)
    return result.stderr, result.stdout


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not BUILD or not os.path.exists(os.path.join(BUILD, "cmake_install.cmake")):
            raise unittest.SkipTest("needs a configured build tree (TIDE_BUILD)")
        cls.stage = tempfile.mkdtemp(prefix="tide-stage-")
        result = install(cls.stage)
        if result.returncode != 0:
            raise AssertionError("install failed:\n" + result.stdout + result.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.stage, ignore_errors=True)

    def staged(self, path):
        return self.stage + path

    def test_every_file_in_place(self):
        for path in PROGRAMS:
            mode = os.stat(self.staged(path)).st_mode
            self.assertTrue(mode & stat.S_IXUSR and mode & stat.S_IXOTH, path)
        for path in MAN_PAGES | DEFAULTS | {UNIT}:
            self.assertTrue(os.path.isfile(self.staged(path)), path)
            self.assertFalse(os.stat(self.staged(path)).st_mode & stat.S_IWOTH, path)
        # Nothing lands outside the prefix and the package's folder (a stray
        # absolute path would end up in the builder's own file system).
        for path in glob.glob(self.stage + "/**", recursive=True):
            if os.path.isfile(path):
                relative = path[len(self.stage):]
                self.assertTrue(relative.startswith(PREFIX + "/") or relative.startswith(PACKAGE_ETC + "/"), relative)

    def test_unit_runs_the_installed_daemon_as_a_forking_service(self):
        settings = unit_settings(read(self.staged(UNIT)))
        self.assertEqual("forking", settings["Type"])
        # The PID file is the daemon's default one (/var/run is /run).
        self.assertIn(settings["PIDFile"], ("/run/tide-clientd.pid", "/var/run/tide-clientd.pid"))
        self.assertEqual("on-failure", settings["Restart"])
        self.assertEqual("SIGTERM", settings["KillSignal"])
        daemon, config = settings["ExecStart"].split()
        self.assertEqual(PREFIX + "/sbin/tide-clientd", daemon)
        self.assertIn(config, DEFAULTS)

    def test_unit_passes_systemd_verification(self):
        if shutil.which("systemd-analyze") is None:
            self.skipTest("systemd is not installed")
        # systemd checks that the program exists: point the unit at the
        # staged copy, and man at the staged pages for its Documentation=.
        folder = tempfile.mkdtemp(prefix="tide-unit-")
        self.addCleanup(shutil.rmtree, folder, True)
        unit = os.path.join(folder, os.path.basename(UNIT))
        with open(unit, "w") as f:
            f.write(read(self.staged(UNIT)).replace("ExecStart=" + PREFIX, "ExecStart=" + self.staged(PREFIX)))
        env = dict(os.environ, MANPATH=self.staged(PREFIX + "/share/man"))
        result = subprocess.run(["systemd-analyze", "verify", unit], env=env, capture_output=True, text=True,
                                timeout=120)
        self.assertEqual((0, ""), (result.returncode, result.stdout + result.stderr))

    def test_second_install_keeps_edited_configuration(self):
        stage = tempfile.mkdtemp(prefix="tide-stage-")
        self.addCleanup(shutil.rmtree, stage, True)
        self.assertEqual(0, install(stage).returncode)
        edited = stage + PACKAGE_ETC + "/tide-clientd.conf"
        with open(edited, "w") as f:
            f.write("worker_count = 2\n")
        os.unlink(stage + PACKAGE_ETC + "/filter")
        self.assertEqual(0, install(stage).returncode)
        self.assertEqual("worker_count = 2\n", read(edited))
        # A missing one is put back.
        self.assertEqual(read(SRC + "/packaging/etc/filter"), read(stage + PACKAGE_ETC + "/filter"))

    def test_man_pages_render_without_warnings(self):
        for page in MAN_PAGES:
            with self.subTest(page=page):
                warnings, text = render(self.staged(page))
                self.assertEqual("", warnings)
                for section in ("SYNOPSIS", "DESCRIPTION", "FILES", "EXIT STATUS"):
                    self.assertIn(section, text)

    def test_man_pages_name_every_option_key_and_component(self):
        def page_text(name):
            return render(self.staged([p for p in MAN_PAGES if p.endswith("/" + name)][0]))[1]

        def assert_named(page, names):
            # Join words that man hyphenated, or broke after a hyphen.
            text = re.sub(r"\u2010\n\s*", "", page)
            text = re.sub(r"-\n\s*", "-", text)
            missing = sorted(n for n in names if n not in text)
            self.assertEqual([], missing)

        daemon_page = page_text("tide-clientd.8")
        config_source = read(SRC + "/src/core/client_config.cpp")
        # Every key the configuration file may set (those marked settable).
        keys = set(re.findall(r'\{"(\w+)", OPTION_\w+, "[^"]*", true', config_source.replace("\n", " ")))
        self.assertIn("worker_count", keys)
        assert_named(daemon_page, keys)
        components = set()
        for source in glob.glob(SRC + "/src/**/*.cpp", recursive=True):
            components.update(re.findall(r'#define TIDE_LOG_COMPONENT "(\w+)"', read(source)))
        self.assertIn("worker_debug", components)
        assert_named(daemon_page, components)

        for program, page in (("tide-clientctl", "tide-clientctl.1"), ("tide-refsyncd", "tide-refsyncd.8")):
            usage = subprocess.run([os.path.join(BUILD, program), "--help"], capture_output=True, text=True,
                                   timeout=30).stdout
            options = set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", usage))
            self.assertTrue(options, program)
            assert_named(page_text(page), options)


if __name__ == "__main__":
    unittest.main()
