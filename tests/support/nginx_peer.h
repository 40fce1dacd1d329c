// nginx on 127.0.0.1 at a free port over a folder of the test's own ("www/"), with a private
// configuration; `locations` adds location blocks to its one server.
#pragma once

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/tls_peer.h"

struct NginxPeer {
    TempDir Dir;
    std::unique_ptr<TlsServer> Server;
    explicit NginxPeer(const std::string& locations = "") {
        chmod(Dir.path().c_str(), 0755); // nginx's workers may run as another user
        mkdir(Dir.file("www").c_str(), 0755);
        std::ofstream(Dir.file("nginx.tmpl"))
            << "worker_processes 1; pid " << Dir.file("nginx.pid") << "; error_log " << Dir.file("nginx.err")
            << ";\nevents { worker_connections 64; }\nhttp {\n  access_log off;\n"
            << "  client_body_temp_path " << Dir.path() << "; proxy_temp_path " << Dir.path()
            << "; fastcgi_temp_path " << Dir.path() << "; uwsgi_temp_path " << Dir.path()
            << "; scgi_temp_path " << Dir.path() << ";\n"
            << "  server { listen 127.0.0.1:PORT; root " << Dir.file("www") << "; " << locations << " }\n}\n";
        Server = std::make_unique<TlsServer>(
            Dir.path(), std::vector<std::string>{"sh", "-c",
                                                 "sed s/PORT/{port}/ nginx.tmpl > nginx.conf && exec nginx -c " +
                                                     Dir.file("nginx.conf") + " -g 'daemon off;'"});
    }
    // Writes a file below "www/" (its folder must exist) and answers its URL.
    std::string Put(const std::string& name, const std::string& bytes) {
        WriteText(Dir.file("www/" + name), bytes, 0644);
        return Url(name);
    }
    std::string Url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(Server->Port()) + "/" + name;
    }
};
