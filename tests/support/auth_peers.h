// Servers that demand credentials, for the HTTP authentication tests: apache2 with Digest
// authentication on /private/ and squid with Basic proxy authentication (and a 403 for paths
// under /forbidden-by-proxy), each with a private configuration in a temporary folder, started
// in the foreground on a free port of 127.0.0.1 and stopped with the object.
#pragma once

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/oracle_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

// Stops every process whose command line names the folder (each found by its id): apache2's
// and squid's workers run as another user, so neither the server's parent nor the death of the
// test program takes them along. TERM first, KILL what is left after five seconds.
inline void StopProcessesOf(const std::string& folder) {
    auto find = [&] {
        std::vector<pid_t> found;
        DIR* proc = opendir("/proc");
        if (!proc) return found;
        while (dirent* entry = readdir(proc)) {
            const pid_t pid = (pid_t)atoi(entry->d_name);
            if (pid <= 0 || pid == getpid()) continue;
            std::string line = ReadFile("/proc/" + std::string(entry->d_name) + "/cmdline");
            for (char& c : line)
                if (c == 0) c = ' ';
            if (line.find(folder + "/") != std::string::npos) found.push_back(pid);
        }
        closedir(proc);
        return found;
    };
    for (pid_t pid : find()) kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!find().empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (pid_t pid : find()) kill(pid, SIGKILL);
}

// apache2 serving Folder/www, with /private/ behind Digest (realm "apache", user "user",
// password "pw"). The worker processes run as www-data, so the folder is opened for them. It
// runs in a session of its own: stopping, it signals its whole process group.
struct ApacheDigestPeer {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;

    ApacheDigestPeer() {
        const std::string root = Dir.path();
        chmod(root.c_str(), 0711);
        mkdir((root + "/www").c_str(), 0755);
        mkdir((root + "/www/private").c_str(), 0755);
        std::ofstream(root + "/www/private/a.txt") << "apache a";
        std::ofstream(root + "/www/private/b.txt") << "apache b";
        // htdigest's line: user, realm and MD5 of "user:realm:password".
        const auto line = RunOracle("printf 'user:apache:pw' | md5sum", "", 10);
        std::ofstream(root + "/digest.pw") << "user:apache:" << (line ? line->substr(0, 32) : "") << "\n";
        chmod((root + "/digest.pw").c_str(), 0644);
        const std::string modules = "/usr/lib/apache2/modules/";
        std::ofstream(root + "/apache.tmpl")
            << "ServerName localhost\nListen 127.0.0.1:PORT\nPidFile " << root << "/apache.pid\n"
            << "ErrorLog " << root << "/apache.err\nMutex file:" << root << "\n"
            << "LoadModule mpm_prefork_module " << modules << "mod_mpm_prefork.so\n"
            << "LoadModule authn_core_module " << modules << "mod_authn_core.so\n"
            << "LoadModule authn_file_module " << modules << "mod_authn_file.so\n"
            << "LoadModule authz_core_module " << modules << "mod_authz_core.so\n"
            << "LoadModule authz_user_module " << modules << "mod_authz_user.so\n"
            << "LoadModule auth_digest_module " << modules << "mod_auth_digest.so\n"
            << "User www-data\nGroup www-data\nStartServers 1\nKeepAlive On\n"
            << "DocumentRoot " << root << "/www\n<Directory " << root << "/www>\n  Require all granted\n</Directory>\n"
            << "<Location /private/>\n  AuthType Digest\n  AuthName \"apache\"\n  AuthDigestDomain /private/\n"
            << "  AuthDigestProvider file\n  AuthUserFile " << root << "/digest.pw\n  Require valid-user\n"
            << "</Location>\n";
        Server = std::make_unique<TlsServer>(
            root, std::vector<std::string>{"sh", "-c",
                                           "sed s/PORT/{port}/ apache.tmpl > apache.conf && exec setsid apache2 -f " +
                                               root + "/apache.conf -DFOREGROUND"});
    }
    ~ApacheDigestPeer() { StopProcessesOf(Dir.path()); }
    bool Running() const { return Server && Server->Running(); }
    uint32_t Port() const { return Server->Port(); }
    std::string Errors() const { return ReadFile(Dir.file("apache.err")); }
};

// squid on a free port asking for Basic proxy credentials (realm "squidrealm", user "user",
// password "pw", checked by basic_ncsa_auth); paths under /forbidden-by-proxy are refused with
// 403 once the user is known. squid drops to the proxy user, who owns its folder.
struct SquidBasicPeer {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;

    SquidBasicPeer() {
        const std::string root = Dir.path() + "/squid";
        mkdir(root.c_str(), 0700);
        chmod(Dir.path().c_str(), 0711);
        const auto hash = RunOracle("openssl passwd -apr1 pw", "", 10);
        std::ofstream(root + "/squid.pw") << "user:" << (hash ? hash->substr(0, hash->find('\n')) : "") << "\n";
        std::ofstream(root + "/squid.tmpl")
            << "http_port 127.0.0.1:PORT\nvisible_hostname squid.test\npid_filename " << root << "/squid.pid\n"
            << "cache_log " << root << "/cache.log\naccess_log " << root << "/access.log\ncache deny all\n"
            << "cache_mem 8 MB\ncoredump_dir " << root << "\nshutdown_lifetime 0 seconds\n"
            << "cache_effective_user proxy\n"
            << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << root << "/squid.pw\n"
            << "auth_param basic realm squidrealm\nauth_param basic children 1\n"
            << "acl authed proxy_auth REQUIRED\nacl forbidden urlpath_regex ^/forbidden-by-proxy\n"
            << "http_access deny !authed\nhttp_access deny forbidden\nhttp_access allow all\n";
        if (const passwd* proxy = getpwnam("proxy")) {
            for (const char* name : {"", "/squid.pw", "/squid.tmpl"})
                if (chown((root + name).c_str(), proxy->pw_uid, proxy->pw_gid) != 0) return;
        }
        Server = std::make_unique<TlsServer>(
            root, std::vector<std::string>{"sh", "-c",
                                           "sed s/PORT/{port}/ squid.tmpl > squid.conf && exec squid -N -f " + root +
                                               "/squid.conf"},
            20);
    }
    ~SquidBasicPeer() { StopProcessesOf(Dir.path()); }
    bool Running() const { return Server && Server->Running(); }
    uint32_t Port() const { return Server->Port(); }
    std::string Log() const { return ReadFile(Dir.file("squid/cache.log")); }
};
