"""A scripted management server for end-to-end tests: the wire format from scratch, in Python.

It listens on 127.0.0.1, answers hello with 1, checks login requests against a table of
accounts (recovering the hidden password), records every packet and can send orders.
"""
import hashlib
import socket
import struct
import threading

KIND_FTP, KIND_MANAGEMENT = 1148, 1149


def md5(data):
    return hashlib.md5(data).digest()


def packet(kind, category, command, body=b""):
    if body:
        raw = bytearray(16) + struct.pack("<5I", 39 + len(body), kind, category, command,
                                          len(body)) + body + b"\0\0\0"
    else:
        raw = bytearray(16) + struct.pack("<6I", 40, kind, category, command, 0, 0)
    raw[0:16] = md5(bytes(16) + bytes(raw[16:]))
    return bytes(raw)


def item_block(items):
    data = b"".join(struct.pack("<HI", tag, len(value) + 6) + value for tag, value in items)
    total = 28 + len(data)
    header = bytearray(struct.pack("<HIIH", 0, total, 0, len(items)) + bytes(16))
    header[6:10] = md5(bytes(header))[:4]
    tail = (bytes(header) + data)[max(28, total - 16):]
    header[12:28] = md5(bytes(header) + tail)
    return bytes(header) + data


def parse_items(body):
    count = struct.unpack_from("<H", body, 10)[0]
    at, items = 28, []
    for _ in range(count):
        tag, length = struct.unpack_from("<HI", body, at)
        items.append((tag, body[at + 6:at + length]))
        at += length
    return items


def text(value):
    return value.split(b"\0", 1)[0].decode("latin-1")


def recover_password(hex_text, user):
    hidden = bytes.fromhex(hex_text)
    key, plain, previous = user.encode("latin-1")[:254], bytearray(), b""
    for i in range(0, len(hidden), 16):
        stream = md5(key + previous)
        plain += bytes(a ^ b for a, b in zip(hidden[i:i + 16], stream))
        previous = hidden[i:i + 16]
    return plain.rstrip(b"\0").decode("latin-1")


class ManagementPeer:
    def __init__(self, accounts):
        self.accounts = accounts  # name -> (password, home, rights[, quota, bandwidth])
        self.packets = []
        self.link = None
        self.lock = threading.Lock()
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.stopped = False
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        self.server.settimeout(0.2)
        while not self.stopped:
            try:
                link, _ = self.server.accept()
            except OSError:
                continue
            self.link = link
            buffer = b""
            while True:
                try:
                    chunk = link.recv(65536)
                except OSError:
                    chunk = b""
                if not chunk:
                    break
                buffer += chunk
                while len(buffer) >= 40:
                    length = struct.unpack_from("<I", buffer, 16)[0]
                    if len(buffer) < length:
                        break
                    self.handle(buffer[:length])
                    buffer = buffer[length:]
            with self.lock:
                self.packets.append(("closed", None, None, None))
            self.link = None

    def handle(self, raw):
        _, kind, category, command, body_length = struct.unpack_from("<I4I", raw, 16)
        body = raw[36:36 + body_length] if body_length else b""
        with self.lock:
            self.packets.append((kind, category, command, body))
        if category == 100:
            self.send(packet(KIND_MANAGEMENT, 100, 1))
        elif category == 1136 and command == 104:
            items = dict(parse_items(body))
            user = text(items[105])
            password = recover_password(text(items.get(107, b"\0")), user)
            session = items[108]
            account = self.accounts.get(user)
            if account and account[0] == password:
                quota, bandwidth = (tuple(account[3:5]) + (0, 0))[:2]
                answer = [(108, session), (109, struct.pack("<i", 1)),
                          (111, struct.pack("<QIIII", quota, bandwidth, 0, account[2], 0)),
                          (113, account[1].encode() + b"\0")]
            else:
                answer = [(108, session), (109, struct.pack("<i", 0))]
            self.send(packet(KIND_MANAGEMENT, 1136, 110, item_block(answer)))

    def send(self, data):
        if self.link:
            self.link.sendall(data)

    def received(self):
        with self.lock:
            return list(self.packets)

    def stop(self):
        self.stopped = True
        self.server.close()
