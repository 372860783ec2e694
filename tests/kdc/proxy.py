"""A KDC proxy over TLS on loopback: FreeIPA's kdcproxy, served as a web
server serves it, that says what it is sent and can break its answer to a
change request. It runs as a program of its own, so that it can run inside
the domain controller's network namespace too:

    proxy.py PORT CERTIFICATE KEY KDCPROXY_CONF MODE

Every POST goes to kdcproxy, which reads its servers from KDCPROXY_CONF.
For a change request MODE then says what comes back: "pass" (kdcproxy's
answer), "502" (a Bad Gateway instead) or "cut" (the answer broken off half
way through its body).

Prints "ready", then "kpasswd" or "kerberos" for each POST, as kdcproxy
reads it.
"""
import io
import os
import socket
import ssl
import sys
import threading


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
        request = read_request(connection)
        if request is None:
            return
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
        response = (f"HTTP/1.0 {status}\r\n" + "".join(f"{name}: {value}\r\n"
                                                        for name, value in answer_headers)
                    + "\r\n").encode() + content
        if kind == "kpasswd" and mode == "cut":
            response = response[:len(response) - len(content) // 2]
        connection.sendall(response)


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
        threading.Thread(target=serve, args=(client, application, mode), daemon=True).start()
