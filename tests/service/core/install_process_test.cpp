// The installation commands of the real kelva program against a temporary
// systemd root and registry root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

// A registry value file: the 4-byte little-endian type, then the data.
std::string Value(uint32_t type, const std::string& data) {
  std::string v;
  for (int i = 0; i < 4; ++i) v += static_cast<char>(type >> (8 * i));
  return v + data;
}
std::string Utf16z(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out + std::string(2, '\0');
}

bool HaveTool(const char* name) {
  return access((std::string("/usr/bin/") + name).c_str(), X_OK) == 0 ||
         access((std::string("/bin/") + name).c_str(), X_OK) == 0;
}

struct Result {
  int exit_code = -1;
  std::string out, err;
};

class InstallProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kelva-installer-XXXXXX";
    dir_ = mkdtemp(tmpl);
    root_ = dir_ / "root";
    units_ = root_ / "etc/systemd/system";
    reg_ = dir_ / "registry";
    // Without root's rights the group cannot be made: it is there already.
    WriteFile(root_ / "etc/group", geteuid() == 0 ? "root:x:0:\n" : "root:x:0:\nkelva:x:999:\n");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs a program with the test's roots, stdout and stderr kept apart;
  // as_nobody: without root's rights.
  Result Run(const std::string& arg, const std::string& program = KELVA_PROGRAM, bool as_nobody = false) {
    const std::string out = (dir_ / "stdout").string(), err = (dir_ / "stderr").string();
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args = {program, arg};
    if (as_nobody && geteuid() == 0)
      args.insert(args.begin(), {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    std::vector<std::string> env = {"KELVA_SYSTEMD_ROOT=" + root_.string(), "KELVA_REGISTRY_ROOT=" + reg_.string(),
                                    "PATH=/usr/bin:/bin"};
    if (const char* asan = getenv("ASAN_OPTIONS")) env.push_back(std::string("ASAN_OPTIONS=") + asan);
    std::vector<char*> a, e;
    for (auto& s : args) a.push_back(s.data());
    a.push_back(nullptr);
    for (auto& s : env) e.push_back(s.data());
    e.push_back(nullptr);
    pid_t pid = -1;
    Result r;
    const int rc = posix_spawn(&pid, a[0], &fa, nullptr, a.data(), e.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) return r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(out);
    r.err = ReadFile(err);
    return r;
  }

  // Every file and link below the two roots with its contents or target
  // (the group database aside: it is the system's).
  std::map<std::string, std::string> Tree() {
    std::map<std::string, std::string> t;
    for (const fs::path& top : {root_, reg_}) {
      if (!fs::exists(top)) continue;
      for (auto& e : fs::recursive_directory_iterator(top)) {
        const std::string name = e.path().lexically_relative(dir_).string();
        if (name.rfind("root/etc/group", 0) == 0) continue;
        if (e.is_symlink()) {
          t[name] = "-> " + fs::read_symlink(e.path()).string();
        } else if (e.is_regular_file()) {
          t[name] = ReadFile(e.path());
        }
      }
    }
    return t;
  }
  std::string RegValue(const std::string& key_folder, const std::string& name) {
    return ReadFile(reg_ / "HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services" / key_folder / ("#" + name));
  }

  fs::path dir_, root_, units_, reg_;
};

TEST_F(InstallProcessTest, InstallWritesUnitsAndKeysAndUninstallTakesThemAway) {
  const std::string kelva = fs::canonical(KELVA_PROGRAM).string();
  const std::string kelvaflt = (fs::path(kelva).parent_path() / "kelvaflt").string();
  // Fast startup is on in an existing Power key.
  const fs::path power = reg_ / "HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Control/Session Manager/Power";
  WriteFile(power / "#HiberbootEnabled", Value(4, std::string("\x01\0\0\0", 4)));

  Result r = Run("/install");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(ReadFile(units_ / "kelva.service"),
            "# Written by \"kelva /install\"; \"kelva /uninstall\" removes it.\n"
            "[Unit]\n"
            "Description=MERIDANSTORIX Universal Disk Format\n"
            "Requires=kelvaflt.service\n"
            "After=kelvaflt.service\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "NotifyAccess=main\n"
            "ExecStart=\"" + kelva + "\"\n"
            "KillSignal=SIGTERM\n"
            "KillMode=mixed\n"
            "TimeoutStopSec=3600\n"
            "RuntimeDirectory=kelva\n"
            "RuntimeDirectoryMode=0755\n"
            "RuntimeDirectoryPreserve=yes\n"
            "StateDirectory=kelva\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  EXPECT_EQ(ReadFile(units_ / "kelvaflt.service"),
            "# Written by \"kelva /install\"; \"kelva /uninstall\" removes it.\n"
            "[Unit]\n"
            "Description=MERIDANSTORIX Filter\n"
            "Before=kelva.service\n"
            "# Load order group \"FSFilter Open File\": systemd orders units by their dependencies alone.\n"
            "# Dependency on fltMgr: part of the kernel here, not a unit.\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "NotifyAccess=main\n"
            "ExecStart=\"" + kelvaflt + "\"\n"
            "KillSignal=SIGTERM\n"
            "KillMode=mixed\n"
            "RuntimeDirectory=kelva\n"
            "RuntimeDirectoryMode=0755\n"
            "RuntimeDirectoryPreserve=yes\n"
            "StateDirectory=kelva\n");
  EXPECT_EQ(fs::read_symlink(units_ / "multi-user.target.wants/kelva.service"), "/etc/systemd/system/kelva.service");

  // The registry values, byte for byte.
  EXPECT_EQ(RegValue("EventLog/Application/KELVA", "EventMessageFile"), Value(2, Utf16z(kelva)));
  EXPECT_EQ(RegValue("EventLog/Application/KELVA", "TypesSupported"), Value(4, std::string("\x07\0\0\0", 4)));
  EXPECT_EQ(RegValue("KELVAFilter/Instances", "DefaultInstance"), Value(1, Utf16z("KELVAFilter")));
  EXPECT_EQ(RegValue("KELVAFilter/Instances/KELVAFilter", "Altitude"), Value(1, Utf16z("109988.0305")));
  EXPECT_EQ(RegValue("KELVAFilter/Instances/KELVAFilter", "Flags"), Value(4, std::string(4, '\0')));
  EXPECT_EQ(ReadFile(power / "#HiberbootEnabled"), Value(4, std::string(4, '\0')));
  // The access group is made and the log says so.
  EXPECT_NE(ReadFile(root_ / "etc/group").find("\nkelva:x:"), std::string::npos);
  if (geteuid() == 0) {
    EXPECT_NE(r.err.find("created the system group kelva"), std::string::npos) << r.err;
  }

  if (HaveTool("systemctl")) {
    std::string state;
    FILE* p = popen(("systemctl --root=" + root_.string() + " is-enabled kelva.service kelvaflt.service").c_str(), "r");
    char buf[256];
    while (fgets(buf, sizeof buf, p)) state += buf;
    pclose(p);
    EXPECT_EQ(state, "enabled\nstatic\n");
  }
  if (HaveTool("systemd-analyze")) {
    const std::string cmd = "systemd-analyze verify " + (units_ / "kelva.service").string() + " " +
                            (units_ / "kelvaflt.service").string() + " > " + (dir_ / "verify").string() + " 2>&1";
    EXPECT_EQ(system(cmd.c_str()), 0) << ReadFile(dir_ / "verify");
  }

  // Installed already: the filter step fails and nothing changes.
  const auto installed = Tree();
  r = Run("/install");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("1073 (the service already exists)"), std::string::npos) << r.err;
  EXPECT_EQ(Tree(), installed);

  r = Run("/uninstall");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "");
  // Only the Power value of the system is left; the group stays for files that may name it.
  EXPECT_EQ(Tree(), (std::map<std::string, std::string>{
                        {"registry/HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Control/Session Manager/Power/"
                         "#HiberbootEnabled",
                         Value(4, std::string(4, '\0'))}}));
  EXPECT_NE(ReadFile(root_ / "etc/group").find("\nkelva:x:"), std::string::npos);

  // Uninstalled already: both steps fail, and a left-over event log source goes anyway.
  WriteFile(reg_ / "HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/EventLog/Application/KELVA/#TypesSupported",
            Value(4, std::string("\x07\0\0\0", 4)));
  r = Run("/uninstall");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_NE(r.err.find("1060 (the service does not exist)"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(reg_ / "HKEY_LOCAL_MACHINE/SYSTEM/CurrentControlSet/Services/EventLog/Application/KELVA"));

  r = Run("/check_version");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
}

struct FailedInstall {
  const char* name;
  void (*prepare)(InstallProcessTest* t, const fs::path& dir, std::string* program);
  const char* log;  // part of the log line that says why
  bool as_nobody = false;
};

TEST_F(InstallProcessTest, AFailedFilterStepCreatesNoService) {
  const FailedInstall cases[] = {
      {"no kelvaflt beside the program",
       [](InstallProcessTest*, const fs::path& dir, std::string* program) {
         fs::create_directories(dir / "alone");
         fs::copy_file(KELVA_PROGRAM, dir / "alone/kelva");
         *program = (dir / "alone/kelva").string();
       },
       "alone/kelvaflt is missing or not executable: 2 (file not found)"},
      {"kelvaflt not executable",
       [](InstallProcessTest*, const fs::path& dir, std::string* program) {
         fs::create_directories(dir / "alone");
         fs::copy_file(KELVA_PROGRAM, dir / "alone/kelva");
         WriteFile(dir / "alone/kelvaflt", "not a program");
         *program = (dir / "alone/kelva").string();
       },
       "is missing or not executable"},
      {"the filter exists",
       [](InstallProcessTest*, const fs::path& dir, std::string*) {
         WriteFile(dir / "root/etc/systemd/system/kelvaflt.service", "someone else's\n");
       },
       "kelvaflt.service): 1073"},
      {"the unit folder cannot be made",
       [](InstallProcessTest*, const fs::path& dir, std::string*) { WriteFile(dir / "root/etc/systemd", "a file"); },
       "cannot create service KELVAFilter"},
      {"no rights to the root",
       [](InstallProcessTest*, const fs::path& dir, std::string*) {
         fs::permissions(dir / "root", fs::perms(0555));
       },
       "kelvaflt.service): 5 (access denied)", true},
  };
  for (const FailedInstall& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.as_nobody && geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0) continue;
    std::string program = KELVA_PROGRAM;
    c.prepare(this, dir_, &program);
    const auto before = Tree();
    const Result r = Run("/install", program, c.as_nobody);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(c.log), std::string::npos) << r.err;
    EXPECT_EQ(Tree(), before);
    EXPECT_FALSE(fs::exists(units_ / "kelva.service"));
    fs::permissions(root_, fs::perms(0755));
    fs::remove_all(dir_ / "alone");
    fs::remove_all(root_ / "etc/systemd");
  }
}

}  // namespace
