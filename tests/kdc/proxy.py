"""A KDC proxy over TLS on loopback: FreeIPA's kdcproxy, served as a web
server serves it, that says what it is sent and can break its answer to a
change request. It runs as a program of its own, so that it can run inside
the domain controller's network namespace too:

    proxy.py PORT CERTIFICATE KEY KDCPROXY_CONF MODE

Every POST goes to kdcproxy, which reads its servers from KDCPROXY_CONF.
For a change request MODE then says what comes back: "pass" (kdcproxy's
answer), "502" (a Bad Gateway instead) or "cut" (the answer broken off half
way through its body). A connection whose request asks for keep-alive
stays open for the next request, as web servers keep it.

Prints "ready", then "tls" for each connection it takes, and "kpasswd" or
"kerberos" for each POST, as kdcproxy reads it.
"""
import io
import os
import socket
import ssl
import subprocess
import sys
import threading


def make_certificates(folder):
    """PEM certificates and keys in the folder (a pathlib.Path): a CA (ca.pem)
    signs proxy.pem, for localhost and 127.0.0.1, and other-name.pem, for
    other.test only; another CA signs stranger.pem, for localhost and
    127.0.0.1."""
    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", *key, "-keyout", f"{ca}.key", "-out", f"{ca}.pem", "-days", "2",
                "-subj", f"/CN=credmend {ca}")
    for name, ca, names in (("proxy", "ca", "DNS:localhost,IP:127.0.0.1"),
                            ("other-name", "ca", "DNS:other.test"),
                            ("stranger", "other-ca", "DNS:localhost,IP:127.0.0.1")):
        # The names go in as an extension file, which OpenSSL 1.1 reads too.
        (folder / f"{name}.ext").write_text(f"subjectAltName={names}\n")
        openssl("req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
                "-subj", f"/CN={name}")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.pem", "-CAkey", f"{ca}.key",
                "-CAcreateserial", "-days", "2", "-extfile", f"{name}.ext", "-out", f"{name}.pem")


def read_request(connection):
    """The request line, headers and body of one HTTP request."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = connection.recv(65536)
        if not piece:
            return None
        data += piece
    head, body = data.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    headers = dict((name.strip().lower(), value.strip())
                   for name, value in (line.split(":", 1) for line in lines[1:]))
    length = int(headers.get("content-length", "0"))
    while len(body) < length:
        piece = connection.recv(65536)
        if not piece:
            return None
        body += piece
    return lines[0].split(" ")[0], headers, body


def serve(connection, application, mode):
    with connection:
        while answer_one(connection, application, mode):
            pass


def answer_one(connection, application, mode):
    """Answers one request; True when the connection stays open for another."""
    request = read_request(connection)
    if request is None:
        return False
    method, headers, body = request
    try:
        kind = ("kpasswd" if isinstance(codec.decode(body), codec.KPASSWDProxyRequest)
                else "kerberos")
    except Exception:
        kind = "other"
    print(kind, flush=True)
    answer = {}

    def start_response(status, answer_headers):
        answer.update(status=status, headers=answer_headers)
    content = b"".join(application({
        "REQUEST_METHOD": method, "CONTENT_LENGTH": str(len(body)),
        "CONTENT_TYPE": headers.get("content-type", ""), "wsgi.input": io.BytesIO(body)},
        start_response))
    status, answer_headers = answer["status"], answer["headers"]
    if kind == "kpasswd" and mode == "502":
        status, answer_headers, content = "502 Bad Gateway", [("Content-Length", "0")], b""
    keep = (headers.get("connection", "").lower() == "keep-alive" and mode == "pass"
            and any(name.lower() == "content-length" for name, _ in answer_headers))
    if keep:
        answer_headers = [*answer_headers, ("Connection", "keep-alive")]
    response = (f"HTTP/1.0 {status}\r\n" + "".join(f"{name}: {value}\r\n"
                                                    for name, value in answer_headers)
                + "\r\n").encode() + content
    if kind == "kpasswd" and mode == "cut":
        response = response[:len(response) - len(content) // 2]
    connection.sendall(response)
    return keep


if __name__ == "__main__":
    port, certificate, key, configuration, mode = sys.argv[1:]
    os.environ["KDCPROXY_CONFIG"] = configuration
    import kdcproxy
    import kdcproxy.codec as codec
    application = kdcproxy.Application()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", int(port)))
    listener.listen(8)
    print("ready", flush=True)
    while True:
        client, _ = listener.accept()
        try:
            client = context.wrap_socket(client, server_side=True)
        except (ssl.SSLError, OSError):
            client.close()  # a client that did not trust the certificate
            continue
        print("tls", flush=True)
        threading.Thread(target=serve, args=(client, application, mode), daemon=True).start()
