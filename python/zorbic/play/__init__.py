"""Playing a match against agents in the browser: a local server, the live match and its page."""
