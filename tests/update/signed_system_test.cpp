// A device that trusts package keys, the real binary in the host sandbox:
// which packages it installs, which it refuses with which message and exit
// status, and that a refused one writes nothing and launches nothing.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <future>
#include <iterator>

#include "support/sandbox_run.h"

namespace {
const std::string SIGNED_BIN = UPDATE_BINARY_DIR "/bin/update-signed";
const std::string PACK = UPDATE_BINARY_DIR "/bin/update-pack";

std::string Shell(const std::string &strCmd)
{
    std::string strOut;
    FILE *pPipe = popen(strCmd.c_str(), "r");
    for (int c; pPipe != nullptr && (c = fgetc(pPipe)) != EOF;) {
        strOut += static_cast<char>(c);
    }
    EXPECT_TRUE(pPipe != nullptr && pclose(pPipe) == 0) << strCmd;
    return strOut;
}
}  // namespace

TEST(SignedPackages, InstalledOnlyWhenSignedByATrustedKey)
{
    // Keys k and o; packages unsigned, signed by k, by o; one more carries its own updater.
    const std::string S = MakeSandboxDir("signed_src");
    Shell("cd " + S + " && for k in k o; do openssl genpkey -algorithm ed25519 -out $k.key && "
          "openssl pkey -in $k.key -pubout -out $k.pem; done; for f in kernel:3000 program:5000 activex:1000; do "
          "head -c ${f#*:} /dev/urandom > ${f%:*}; set -- \"$@\" --image ${f%:*}=${f%:*}; done; printf "
          "'#!/bin/sh\\n/.sandbox/stub-record launched \"$@\"\\n' > upd; P='" + PACK + " create'; A='--pub R1235 --board NVR-X'; $P u.bin $A \"$@\" && "
          "$P k.bin $A \"$@\" --sign k.key && $P o.bin $A \"$@\" --sign o.key && $P hu.bin $A \"$@\" --updater upd && "
          "cp hu.bin hk.bin && " + PACK + " sign hk.bin --key k.key && ln -s k.bin link.bin");
    auto Id = [&](const char *pszKey) {  // the key id as openssl derives it: SHA-256 of the raw key, 8 bytes
        return Shell("openssl pkey -pubin -in " + S + "/" + pszKey + " -outform DER | tail -c 32 | "
                     "openssl dgst -sha256 -binary | head -c 8 | od -An -tx1 | tr -d ' \\n'");
    };
    const off_t llSize = std::stol(Shell("stat -c %s " + S + "/k.bin"));
    const std::string W = "-local /program/pkg all -wait -loop", H = "-local /program/pkg all -wait";
    const struct {
        const char *pszPkg, *pszKeys, *pszArgs;
        off_t llFlip;  // a byte changed there (-1: none; the size: one appended)
        int lStatus;
        std::string strText;  // a line of the output
        bool bWritten;        // images written, or the package's updater launched
    } cases[] = {
        {"k.bin", "k.pem", W.c_str(), -1, 0, "signature ok, key ID " + Id("k.pem"), true},
        {"u.bin", "", W.c_str(), -1, 0, "update all success!", true},  // no keys: as ever
        {"u.bin", "k.pem", W.c_str(), -1, 250, "package is not signed", false},
        {"o.bin", "k.pem", W.c_str(), -1, 250, "signed with unknown key ID", false},
        {"o.bin", "k.pem o.pem", W.c_str(), -1, 0, "signature ok, key ID " + Id("o.pem"), true},
        {"k.bin", "k.pem o.pem", W.c_str(), -1, 0, "signature ok, key ID " + Id("k.pem"), true},
        {"k.bin", "k.pem", W.c_str(), 3, 250, "signature does not match", false},  // head text: the public version
        {"k.bin", "k.pem", W.c_str(), 1000, 250, "signature does not match", false},          // board list
        {"k.bin", "k.pem", W.c_str(), 2052 + 144 * 3 + 140, 250, "signature does not match", false},  // table
        {"k.bin", "k.pem", W.c_str(), llSize - 90, 250, "signature does not match", false},   // signature
        {"k.bin", "k.pem", W.c_str(), llSize - 30, 250, "signed with unknown key ID", false}, // key id
        {"k.bin", "k.pem", W.c_str(), 4096 + 3000 + 7, 250, "signature does not match", false},  // image data
        {"k.bin", "k.pem", W.c_str(), llSize - 1, 250, "package is not signed", false},       // last byte
        {"k.bin", "k.pem", W.c_str(), llSize, 250, "package is not signed", false},           // appended
        {"u.bin", "k.pem", "-local /program/pkg all -check", -1, 250, "package is not signed", false},
        {"u.bin", "k.pem", "-local /program/pkg all -force -wait -loop", -1, 250, "package is not signed", false},
        {"link.bin", "k.pem", W.c_str(), -1, 250, "package is a link, refused: /program/pkg/Program.bin", false},
        {"k.bin", "k.pem", "-local /program/pkg uImage -debug", -1, 250,
         "raw image refused: this device installs signed packages only", false},
        {"k.bin", "k.pem", "-h", -1, 0,
         "EXIT STATUS: 250 signature missing, unknown or wrong; 252 checksum, 253 board, 254 version", false},
        {"hu.bin", "k.pem", H.c_str(), -1, 250, "package is not signed", false},  // its updater never runs
        {"hk.bin", "k.pem", H.c_str(), -1, 0, "signature ok, key ID " + Id("k.pem"), true},
    };
    // Each run waits out its reboot: all of them at once.
    std::vector<std::future<SandboxResult>> vecRuns;
    for (const auto &c : cases) {
        const std::string D = MakeSandboxDir("signed_" + std::to_string(&c - cases));
        Shell("mkdir -p " + D + "/program/pkg " + D + "/program/keys " + D + "/proc " + D + "/tmp && cd " + S +
              " && cp -P " + c.pszPkg + " " + D + "/program/pkg/Program.bin && for k in " + c.pszKeys +
              "; do cp $k " + D + "/program/keys/; done; ln -sf " + S + "/k.bin " + D +
              "/program/pkg/k.bin; echo NVR-X > " + D + "/proc/board_type; echo rootfstype=yaffs2 > " + D +
              "/proc/cmdline; printf 'PUB:R1234\\nINN:OLD\\n' > " + D + "/program/.version; printf '#!/bin/sh\\n"
              "/.sandbox/stub-record busybox \"$@\"\\n' > " + D + "/tmp/busybox; chmod 755 " + D + "/tmp/busybox");
        if (c.llFlip >= 0) {
            std::fstream f(D + "/program/pkg/Program.bin", std::ios::in | std::ios::out | std::ios::binary);
            f.seekg(c.llFlip);
            int lByte = c.llFlip == llSize ? 0 : f.get();
            f.clear();
            f.seekp(c.llFlip);
            f.put(static_cast<char>(lByte ^ 0x20));
        }
        std::vector<std::string> argv = {SIGNED_BIN};
        for (std::string strRest = c.pszArgs; !strRest.empty();) {
            size_t ulBlank = strRest.find(' ');
            argv.push_back(strRest.substr(0, ulBlank));
            strRest = ulBlank == std::string::npos ? "" : strRest.substr(ulBlank + 1);
        }
        vecRuns.push_back(std::async(std::launch::async, RunInSandbox, D, argv));
    }
    for (const auto &c : cases) {
        const std::string D = UPDATE_BINARY_DIR "/sandboxes/signed_" + std::to_string(&c - cases);
        SandboxResult st = vecRuns[static_cast<size_t>(&c - cases)].get();
        const std::string strWhat = std::string(c.pszPkg) + " " + c.pszKeys + " " + c.pszArgs + " @" + std::to_string(c.llFlip);
        EXPECT_EQ(c.lStatus, st.lStatus) << strWhat << "\n" << st.strOut;
        EXPECT_NE(st.strOut.find(c.strText + "\n"), std::string::npos) << strWhat << "\n" << st.strOut;
        const std::string strTools = ReadFile(D + "/journal/nandwrite") + ReadFile(D + "/journal/launched");
        EXPECT_EQ(c.bWritten, !strTools.empty()) << strWhat << "\n" << strTools;
        // A device without keys says nothing about signatures.
        EXPECT_TRUE(*c.pszKeys != '\0' || st.strOut.find("signature") == std::string::npos) << strWhat;
    }
}
