#!/usr/bin/python3
"""Stand-in for the update server on https://localhost:8443: the part of the
device API that the update client uses, enough for real deployments.

  server.py CERT KEY ARTIFACTS EVENTS

A deployment is offered while the file ARTIFACTS/offer names one of the
artifacts in ARTIFACTS (NAME for NAME.mender); its final status removes the
file. The artifact is sent slowly, so that a download lasts about 16 s. Each
request worth waiting for is appended to EVENTS with the time of the
monotonic clock, as "SECONDS WHAT", e.g. "123.456 status gk-success success".
"""
import json
import os
import ssl
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

DEVICES = "/api/devices/"
NEXT = DEVICES + "v2/deployments/device/deployments/next"
DEPLOYMENTS = DEVICES + "v1/deployments/device/deployments/"
FINAL = {"success", "failure", "already-installed"}
PIECES, PAUSE = 20, 0.8  # the download's length

artifacts, events = sys.argv[3], sys.argv[4]


def note(what):
    with open(events, "a") as out:
        out.write(f"{time.monotonic():.3f} {what}\n")


def offered():
    try:
        with open(os.path.join(artifacts, "offer")) as file:
            return file.read().strip()
    except FileNotFoundError:
        return None


class Handler(BaseHTTPRequestHandler):
    def body(self):
        """The request's body; the client sends its bodies chunked."""
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            data = b""
            while True:
                size = int(self.rfile.readline().split(b";")[0], 16)
                data += self.rfile.read(size)
                self.rfile.readline()
                if size == 0:
                    return data
        return self.rfile.read(int(self.headers.get("Content-Length", 0)))

    def reply(self, code, data=b"", kind="application/json"):
        self.send_response(code)
        if data:
            self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def do_POST(self):
        self.body()
        if self.path == DEVICES + "v1/authentication/auth_requests":
            note("auth")
            return self.reply(200, b"stand-in-token", "application/jwt")
        if self.path == NEXT:
            name = offered()
            if not name:
                return self.reply(204)
            note(f"next {name}")
            uri = f"https://localhost:{self.server.server_port}/artifacts/{name}.mender"
            deployment = {"id": name, "artifact": {"artifact_name": name, "device_types_compatible": ["vm"],
                                                   "source": {"uri": uri, "expire": "2100-01-01T00:00:00Z"}}}
            return self.reply(200, json.dumps(deployment).encode())
        self.unknown()

    def do_PUT(self):
        data = self.body()
        if self.path.startswith(DEVICES + "v1/inventory/device/attributes"):
            note("inventory")
            return self.reply(200)
        if self.path.startswith(DEPLOYMENTS) and self.path.endswith("/status"):
            name = self.path[len(DEPLOYMENTS):-len("/status")]
            status = json.loads(data)["status"]
            note(f"status {name} {status}")
            if status in FINAL and offered() == name:
                os.unlink(os.path.join(artifacts, "offer"))
            return self.reply(204)
        if self.path.startswith(DEPLOYMENTS) and self.path.endswith("/log"):
            return self.reply(204)
        self.unknown()

    do_PATCH = do_PUT

    def do_GET(self):
        if self.path.startswith("/artifacts/"):
            name = os.path.basename(self.path)
            with open(os.path.join(artifacts, name), "rb") as file:
                data = file.read()
            note(f"download {name.removesuffix('.mender')} start")
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            piece = -(-len(data) // PIECES)
            for start in range(0, len(data), piece):
                self.wfile.write(data[start:start + piece])
                self.wfile.flush()
                time.sleep(PAUSE)
            note(f"download {name.removesuffix('.mender')} end")
            return None
        return self.unknown()

    def unknown(self):
        note(f"unknown {self.command} {self.path}")
        self.reply(404)

    def log_message(self, format, *args):  # the events file says what matters
        pass


def main():
    server = ThreadingHTTPServer(("127.0.0.1", 8443), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(sys.argv[1], sys.argv[2])
    server.socket = context.wrap_socket(server.socket, server_side=True)
    note("listening")
    server.serve_forever()


if __name__ == "__main__":
    main()
