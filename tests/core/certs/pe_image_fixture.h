// Small Windows programs built for the PE reader tests: one with a version resource, a twin with
// other code, and a signed copy of each made with a test key. Built once per test process;
// Ready() is false when the cross compiler or the signing tool is missing.
#pragma once

#include <fstream>
#include <string>

#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"

class PEImages {
  public:
    static PEImages& Get() {
        static PEImages images;
        return images;
    }
    bool Ready() const { return ready_; }
    std::string Plain() const { return dir_.file("plain.exe"); }
    std::string Signed() const { return dir_.file("signed.exe"); }
    std::string Twin() const { return dir_.file("twin.exe"); }
    std::string SignedTwin() const { return dir_.file("signed-twin.exe"); }
    std::string CertificatePem() const { return dir_.file("cert.pem"); }
    std::string Dir() const { return dir_.path(); }

    // The image digest the signing tool computes for a file (upper-case hex), or "".
    std::string ToolDigest(const std::string& path) const {
        const auto out = RunOracle("osslsigncode verify -in " + path +
                                       " 2>&1 | sed -n "
                                       "'s/^Calculated message digest *: *\\([0-9A-F]*\\).*/\\1/p'",
                                   "", 60);
        return out ? out->substr(0, out->find('\n')) : "";
    }

  private:
    PEImages() {
        std::ofstream(dir_.file("main.c")) << "int main(void) { return 3; }\n";
        std::ofstream(dir_.file("twin.c")) << "int main(void) { volatile int a = 5; return a * 7; }\n";
        std::ofstream(dir_.file("version.rc"))
            << "1 VERSIONINFO\nFILEVERSION 1,2,3,4\nPRODUCTVERSION 5,6,7,8\nBEGIN\n"
               "BLOCK \"StringFileInfo\"\nBEGIN\nBLOCK \"040904b0\"\nBEGIN\n"
               "VALUE \"ProductName\", \"Quill Reader\"\nVALUE \"CompanyName\", \"Quill\"\n"
               "VALUE \"FileVersion\", \"text version\"\nEND\nEND\n"
               "BLOCK \"VarFileInfo\"\nBEGIN\nVALUE \"Translation\", 0x409, 1200\nEND\nEND\n";
        const std::string d = dir_.path() + "/";
        const std::string sign =
            "osslsigncode sign -certs " + d + "cert.pem -key " + d + "key.pem -h sha256 ";
        const std::string command =
            "cd " + d + " && x86_64-w64-mingw32-windres version.rc -O coff -o version.o && " +
            "x86_64-w64-mingw32-gcc -O1 -s main.c version.o -o plain.exe && " +
            "x86_64-w64-mingw32-gcc -O1 -s twin.c -o twin.exe && " +
            "openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -subj /CN=Quill-Test "
            "-days 30 && openssl x509 -in cert.pem -outform DER -out cert.der && " +
            sign + "-in plain.exe -out signed.exe && " + sign + "-in twin.exe -out signed-twin.exe";
        ready_ = RunOracle("(" + command + ") >/dev/null 2>&1", "", 120).has_value();
    }
    TempDir dir_;
    bool ready_ = false;
};
