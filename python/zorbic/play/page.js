"use strict";
// The play page: keys go to the server as they change, the match comes
// back as the newest state after every tick and is drawn on the next frame.
(function () {
  const canvas = document.getElementById("pitch");
  const readout = document.getElementById("readout");
  const pauseButton = document.getElementById("pause");
  const token = new URLSearchParams(location.search).get("token") || "";
  const socket = new WebSocket("ws://" + location.host + "/socket?token=" + encodeURIComponent(token));
  const held = { up: false, down: false, left: false, right: false, kick: false };
  const keyMap = {
    ArrowUp: "up", KeyW: "up", ArrowDown: "down", KeyS: "down",
    ArrowLeft: "left", KeyA: "left", ArrowRight: "right", KeyD: "right",
    KeyX: "kick", Space: "kick",
  };
  let look = null;
  let painter = null;
  let person = null;
  let latest = null;
  let drawing = false;
  let note = "";
  let connected = false;

  function send(message) {
    if (socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  }

  const sendKeys = () => send({ kind: "keys", ...held });

  function statusText(state) {
    const phase = look.phaseNames[state.phase];
    const countdown = state.countdown > 0 ? " (kickoff in " + state.countdown.toFixed(1) + " s)" : "";
    return "Red " + state.red + " : " + state.blue + " Blue   " + phase + countdown + (state.paused ? "   paused" : "");
  }

  function draw() {
    drawing = false;
    if (painter === null || latest === null) return;
    painter.frame(latest.ball, latest.players, statusText(latest), person);
    const side = look.teams[person] === 2 ? "red" : "blue";
    readout.textContent = [statusText(latest), "you: " + side + " player " + person,
      "recorded " + latest.recorded + " ticks", note].filter(Boolean).join(" \u00b7 ");
    pauseButton.textContent = latest.paused ? "Go on" : "Pause";
  }

  socket.addEventListener("open", () => { connected = true; });
  socket.addEventListener("close", (event) => {
    connected = false;
    readout.textContent = "disconnected" + (event.reason ? ": " + event.reason : "");
  });
  socket.addEventListener("message", (event) => {
    const message = JSON.parse(event.data);
    if (message.kind === "hello") {
      look = message.look;
      person = message.person;
      painter = zorbicPainter(look, canvas);
      document.title = "zorbic: " + look.title;
    } else if (message.kind === "state") {
      latest = message;
      if (!drawing) {
        drawing = true;
        requestAnimationFrame(draw);
      }
    } else if (message.kind === "saved") {
      note = "saved " + message.ticks + " ticks to " + message.path;
    }
  });

  document.addEventListener("keydown", (event) => {
    if (event.code === "KeyP") {
      if (latest !== null) send({ kind: "pause", on: !latest.paused });
      return;
    }
    const key = keyMap[event.code];
    if (key === undefined) return;
    event.preventDefault();
    if (!held[key]) {
      held[key] = true;
      sendKeys();
    }
  });
  document.addEventListener("keyup", (event) => {
    const key = keyMap[event.code];
    if (key === undefined) return;
    event.preventDefault();
    held[key] = false;
    sendKeys();
  });
  // A key let go while the page had no focus would stay held for ever.
  window.addEventListener("blur", () => {
    for (const key of Object.keys(held)) held[key] = false;
    sendKeys();
  });
  pauseButton.addEventListener("click", () => {
    if (latest !== null) send({ kind: "pause", on: !latest.paused });
    pauseButton.blur(); // or the space bar, the kick, would press it
  });
  document.getElementById("restart").addEventListener("click", (event) => {
    send({ kind: "restart" });
    event.target.blur();
  });
  document.getElementById("save").addEventListener("click", (event) => {
    send({ kind: "save" });
    event.target.blur();
  });

  window.zorbicPlay = {
    get ready() { return connected && painter !== null && latest !== null; },
    get state() { return latest; },
    get held() { return { ...held }; },
    send,
  };
})();
