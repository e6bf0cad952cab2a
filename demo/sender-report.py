#!/usr/bin/env python3
"""Prints a page of GET /api/v1/messages (read from standard input) as the sender would read it."""
import json
import sys

text = sys.stdin.read()
try:
    page = json.loads(text)
except ValueError:
    print("  the service did not answer with a list of messages:", text.strip() or "(nothing)")
    sys.exit(1)
if not page["messages"]:
    print("  no messages yet")
for message in page["messages"]:
    print(f"  Subject:    {message['subject']}")
    print(f"  Recipients: {message['recipients']}")
    print(f"  Sent:       {message['sent_at']}")
    print(f"  Status:     {message['status']}" +
          (f" (first opened {message['first_opened_at']})" if message["first_opened_at"] else ""))
    print(f"  Opens:      {len(message['opens']) or 'none'}")
    for n, open_ in enumerate(message["opens"], 1):
        print(f"    {n}. {open_['at']}  {open_['kind']} (rule {open_['rule']}) from {open_['address']}")
        print(f"       {open_['client']}")
if page["next"]:
    print(f"  (earlier messages: {page['next']})")
