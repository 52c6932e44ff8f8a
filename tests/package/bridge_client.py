"""A page's call through the bridge, without a browser: creates a control by its ProgID and
prints the answer of one of its members as text.

Usage: python3 bridge_client.py HOST PORT ORIGIN PROGID MEMBER"""

import http.client
import json
import sys


def post(connection, origin, body):
    connection.request("POST", "/korvan/v1/call", json.dumps(body).encode(),
                       {"Origin": origin, "Content-Type": "text/plain;charset=UTF-8"})
    response = connection.getresponse()
    data = response.read()
    if response.status != 200:
        raise RuntimeError("%s answered %d: %r" % (body.get("op"), response.status, data[:200]))
    return json.loads(data)


def main():
    if len(sys.argv) != 6:
        print(__doc__, file=sys.stderr)
        return 2
    host, port, origin, prog_id, member = sys.argv[1:]
    connection = http.client.HTTPConnection(host, int(port), timeout=30)
    created = post(connection, origin, {"v": 1, "op": "create", "progId": prog_id})
    answer = post(connection, origin, {"v": 1, "op": "call", "object": created["object"],
                                       "member": member, "args": []})
    value = answer.get("value")
    if isinstance(value, list) and len(value) == 2 and value[0] == "s":
        value = value[1]
    print(value)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, RuntimeError, ValueError, KeyError, http.client.HTTPException) as error:
        print("bridge_client: %s" % error, file=sys.stderr)
        sys.exit(1)
