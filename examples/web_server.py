"""What the page's launcher adds to Streamlit's tornado server before it
starts: headers on every response and a check of every request.

* Every response carries a Content-Security-Policy that lets the page load
  scripts, styles, fonts and images from itself only (images also from
  `data:` and `blob:` addresses, which the page makes itself) and connect
  to itself only, so that no text shown on the page can make the browser
  fetch anything from elsewhere; with it `X-Content-Type-Options: nosniff`,
  `Referrer-Policy: no-referrer`, and no framing by other pages.
* A request whose Host, or Origin when it has one, is not this server's
  address is answered 403: a page elsewhere whose name was pointed at this
  machine (DNS rebinding) cannot talk to the page or its websocket.
* Streamlit's metrics endpoint answers 404, and so does its file upload
  endpoint: the page has no file uploader, and what that endpoint takes is
  kept in memory, for as long as the session lasts, from anyone who has a
  session (of any size up to Streamlit's bound, as many files as are sent).

`install(host, port, allowed_hosts)` patches tornado's classes for the
whole process, which serves only the page.
"""
import base64
import hashlib
import ipaddress
import os
import re
import urllib.parse

import tornado.web


def inline_script_hashes():
    """The CSP hashes of the inline scripts of Streamlit's own index.html
    (one line setting a flag), so that they run and nothing else inline does."""
    import streamlit

    path = os.path.join(os.path.dirname(streamlit.__file__), "static", "index.html")
    try:
        with open(path, encoding="utf-8") as page:
            html = page.read()
    except OSError:
        return []
    scripts = re.findall(r"<script>(.*?)</script>", html, re.S)
    return ["'sha256-%s'" % base64.b64encode(hashlib.sha256(s.encode("utf-8")).digest()).decode()
            for s in scripts]


POLICY = "; ".join([
    "default-src 'self'",
    " ".join(["script-src 'self'"] + inline_script_hashes()),
    "style-src 'self' 'unsafe-inline'",
    "img-src 'self' data: blob:",
    "font-src 'self' data:",
    "media-src 'self' data: blob:",
    "connect-src 'self'",
    "worker-src 'self' blob:",
    "frame-src 'self'",
    "object-src 'none'",
    "base-uri 'none'",
    "form-action 'self'",
    "frame-ancestors 'none'",
])
HEADERS = {
    "Content-Security-Policy": POLICY,
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "X-Frame-Options": "DENY",
}
# Answered 404: the metrics, and the upload of files (the page has no uploader).
UNSERVED = re.compile(r"/(?:.*/)?(?:_stcore/metrics|st-metrics|_stcore/upload_file(?:/.*)?)/?\Z", re.S)


def _split_host(value, default_port):
    """(name, port) of a Host header's value ("name", "name:port",
    "[v6]:port"), the name lower-cased; None when it is not one."""
    match = re.fullmatch(r"(\[[0-9a-fA-F:.]+\]|[^:\[\]]+)(?::(\d{1,5}))?", value or "")
    if not match:
        return None
    name = match.group(1).lower()
    return name.strip("[]"), int(match.group(2)) if match.group(2) else default_port


class Addresses:
    """The names a browser may use for this server: loopback names, the
    address it serves on, any address literal when it serves on all of
    them, and the names the operator allowed."""

    def __init__(self, host, port, allowed_hosts=()):
        self.port = port
        self.names = {"localhost", "127.0.0.1", "::1", host.lower().strip("[]")}
        self.names.update(name.lower() for name in allowed_hosts)
        self.any_address = host in ("0.0.0.0", "::", "")

    def allows(self, name, port):
        if port != self.port:
            return False
        if name in self.names:
            return True
        try:
            address = ipaddress.ip_address(name)
        except ValueError:
            return False
        # An address literal cannot be rebound, but only this machine's
        # addresses are ever asked for it; loopback always is one.
        return self.any_address or address.is_loopback

    def allows_host(self, value):
        parsed = _split_host(value, 80)
        return parsed is not None and self.allows(*parsed)

    def allows_origin(self, origin):
        try:
            url = urllib.parse.urlsplit(origin)
            port = url.port or {"http": 80, "https": 443}.get(url.scheme)
        except ValueError:
            return False
        return url.scheme in ("http", "https") and url.hostname is not None and self.allows(url.hostname.lower(), port)


class Refused(tornado.web.RequestHandler):
    """Answers with the status it is given and nothing else."""

    def initialize(self, status):
        self.status = status

    def prepare(self):
        self.set_status(self.status)
        self.set_header("Content-Type", "text/plain; charset=utf-8")
        self.finish("%d %s\n" % (self.status, self._reason))


def install(host, port, allowed_hosts=()):
    """Patches tornado: the headers on every response, the Host and Origin
    checks and the unserved endpoints on every request."""
    addresses = Addresses(host, port, allowed_hosts)
    clear = tornado.web.RequestHandler.clear
    find_handler = tornado.web.Application.find_handler

    def clear_with_headers(handler):
        clear(handler)
        for name, value in HEADERS.items():
            handler.set_header(name, value)

    def checked_find_handler(application, request, **kwargs):
        origin = request.headers.get("Origin")
        if not addresses.allows_host(request.headers.get("Host", "")) or (
                origin is not None and not addresses.allows_origin(origin)):
            return application.get_handler_delegate(request, Refused, {"status": 403})
        if UNSERVED.match(request.path):
            return application.get_handler_delegate(request, Refused, {"status": 404})
        return find_handler(application, request, **kwargs)

    tornado.web.RequestHandler.clear = clear_with_headers
    tornado.web.Application.find_handler = checked_find_handler
    return addresses
