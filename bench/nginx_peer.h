// nginx on 127.0.0.1 as the server both sides of a client benchmark fetch from: a free port, no
// daemon (it stays this process's child and stops with its handle), files served from a folder.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

// Starts nginx with `workers` worker processes serving `root`; `name` names its files in `dir`.
// `listen` follows the port on the listen line ("ssl" for TLS); `server` adds directives to the
// server block. `dir` must be reachable by nginx's workers, which may run as another user.
// `cpus`, when given, is a processor list for taskset ("0-1", "2,3"): nginx and its workers run
// only there, so that a server pinned to the same processors is compared on equal terms.
inline std::unique_ptr<TlsServer> StartNginx(const TempDir& dir, const std::string& name, const std::string& root,
                                             const std::string& listen = "", const std::string& server = "",
                                             int workers = 2, const std::string& cpus = "") {
    std::ofstream(dir.file(name + ".tmpl"))
        << "worker_processes " << workers << "; pid " << dir.file(name + ".pid") << "; error_log "
        << dir.file(name + ".err") << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off; sendfile on;\n"
        << "  default_type application/octet-stream;\n"
        << "  client_body_temp_path " << dir.path() << "; proxy_temp_path " << dir.path() << "; fastcgi_temp_path "
        << dir.path() << "; uwsgi_temp_path " << dir.path() << "; scgi_temp_path " << dir.path() << ";\n"
        << "  server { listen 127.0.0.1:PORT" << (listen.empty() ? "" : " " + listen) << "; " << server
        << " root " << root << "; }\n}\n";
    const std::string pin = cpus.empty() ? "" : "taskset -c " + cpus + " ";
    return std::make_unique<TlsServer>(
        dir.path(), std::vector<std::string>{"sh", "-c",
                                             "sed s/PORT/{port}/ " + name + ".tmpl > " + name + ".conf && exec " +
                                                 pin + "nginx -c " + dir.file(name + ".conf") + " -g 'daemon off;'"});
}

// The directives of a TLS 1.2 server for "localhost" (the leaf of `pki`, its intermediate and the
// root, which a store that knows certificates by their bytes needs to see), whose chain and key
// are written into `dir`; clients take the root as their only anchor.
inline std::string NginxTls12(const TempDir& dir, const TlsPki& pki) {
    const std::string chain = dir.file("tls_chain.pem"), key = dir.file("tls.key");
    std::ofstream(chain) << ReadFile(pki.File("rsa.pem")) << ReadFile(pki.File("chain2.pem"));
    std::ofstream(key) << ReadFile(pki.File("srvrsa.key"));
    chmod(key.c_str(), 0600); // read by nginx's master before it drops to its workers' user
    return "ssl_protocols TLSv1.2; ssl_certificate " + chain + "; ssl_certificate_key " + key + ";";
}

// As StartNginx, for a benchmark that sets nginx beside a server of ours on the same cores: nginx
// runs pinned to `cpus` (a taskset list such as "0-1"; empty: not pinned) with `workers` workers,
// sendfile on, as many connections per worker as a load generator may open, and `http` added to
// the http block (keep-alive limits and the like).
inline std::unique_ptr<TlsServer> StartNginxPinned(const TempDir& dir, const std::string& name,
                                                   const std::string& root, int workers, const std::string& cpus,
                                                   const std::string& http = "") {
    std::ofstream(dir.file(name + ".tmpl"))
        << "worker_processes " << workers << "; pid " << dir.file(name + ".pid") << "; error_log "
        << dir.file(name + ".err") << ";\nevents { worker_connections 1024; }\nhttp {\n  access_log off; sendfile on;\n"
        << "  default_type application/octet-stream; " << http << "\n"
        << "  client_body_temp_path " << dir.path() << "; proxy_temp_path " << dir.path() << "; fastcgi_temp_path "
        << dir.path() << "; uwsgi_temp_path " << dir.path() << "; scgi_temp_path " << dir.path() << ";\n"
        << "  server { listen 127.0.0.1:PORT; root " << root << "; }\n}\n";
    const std::string pin = cpus.empty() ? "" : "taskset -c " + cpus + " ";
    return std::make_unique<TlsServer>(
        dir.path(), std::vector<std::string>{"sh", "-c",
                                             "sed s/PORT/{port}/ " + name + ".tmpl > " + name + ".conf && exec " +
                                                 pin + "nginx -c " + dir.file(name + ".conf") +
                                                 " -g 'daemon off;'"});
}
