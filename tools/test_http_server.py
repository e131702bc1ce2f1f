#!/usr/bin/python3
"""Loopback web server for the tests: serves the files of one folder on 127.0.0.1, and under
/short/NAME the file NAME with only half of the body its Content-Length announces."""
import functools
import http.server
import os
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    def do_GET(self):
        if not self.path.startswith("/short/"):
            return super().do_GET()
        name = os.path.join(self.directory, os.path.basename(self.path[len("/short/"):]))
        try:
            with open(name, "rb") as f:
                body = f.read()
        except OSError:
            return self.send_error(404)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body[: len(body) // 2])
        self.close_connection = True

    def log_message(self, *args):
        pass


def main():
    port, root = int(sys.argv[1]), sys.argv[2]
    handler = functools.partial(Handler, directory=root)
    http.server.ThreadingHTTPServer(("127.0.0.1", port), handler).serve_forever()


if __name__ == "__main__":
    main()
