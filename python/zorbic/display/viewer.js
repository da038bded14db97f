"use strict";
// Plays a recorded match on a canvas (drawn by zorbicPainter): the bodies at
// their recorded positions, with controls to move through the match.
(function () {
  const match = JSON.parse(document.getElementById("match").textContent);
  const canvas = document.getElementById("pitch");
  const slider = document.getElementById("slider");
  const playButton = document.getElementById("play");
  const speedSelect = document.getElementById("speed");
  const readout = document.getElementById("readout");
  const last = match.ball.length / 2 - 1;
  const nPlayers = match.teams.length;
  const speeds = [0.25, 0.5, 1, 2, 4];

  const painter = zorbicPainter(match, canvas);
  slider.max = String(last);
  let position = 0; // fractional frame while playing
  let playing = false;
  let lastTime = null;

  function body(array, index, frame, count) {
    // Between two frames the bodies move in a straight line, except across a
    // cut (a reset or a written state), where they jump.
    const whole = Math.floor(frame);
    const next = Math.min(whole + 1, last);
    const t = match.cut[next] ? 0 : frame - whole;
    const a = (whole * count + index) * 2;
    const b = (next * count + index) * 2;
    return [array[a] + (array[b] - array[a]) * t, array[a + 1] + (array[b + 1] - array[a + 1]) * t];
  }

  function overlayText(step) {
    const phase = match.phaseNames[match.phase[step]];
    return "Red " + match.red[step] + " : " + match.blue[step] + " Blue   step " + step + "   " + phase;
  }

  function draw() {
    const step = Math.floor(position);
    const players = [];
    for (let j = 0; j < nPlayers; j++) players.push(...body(match.players, j, position, nPlayers));
    painter.frame(body(match.ball, 0, position, 1), players, overlayText(step), null);

    slider.value = String(step);
    readout.textContent = ["step " + step + " / " + last, "Red " + match.red[step] + " : " + match.blue[step] + " Blue",
      match.phaseNames[match.phase[step]], speedSelect.value + "x"].join(" \u00b7 ");
  }

  function seek(step) {
    position = Math.max(0, Math.min(last, Math.round(step)));
    draw();
    return position;
  }

  function setPlaying(on) {
    playing = on && last > 0;
    if (playing && position >= last) position = 0;
    playButton.textContent = playing ? "Pause" : "Play";
    lastTime = null;
    if (playing) requestAnimationFrame(tick);
  }

  function tick(time) {
    if (!playing) return;
    if (lastTime !== null) {
      position += ((time - lastTime) / 1000) * match.fps * Number(speedSelect.value);
      if (position >= last) {
        position = last;
        setPlaying(false);
      }
    }
    lastTime = time;
    draw();
    if (playing) requestAnimationFrame(tick);
  }

  function changeSpeed(by) {
    const index = speeds.indexOf(Number(speedSelect.value));
    speedSelect.value = String(speeds[Math.max(0, Math.min(speeds.length - 1, index + by))]);
    draw();
  }

  playButton.addEventListener("click", () => {
    setPlaying(!playing);
    playButton.blur(); // or the space bar would press it as well as toggle
  });
  slider.addEventListener("input", () => {
    setPlaying(false);
    seek(Number(slider.value));
  });
  speedSelect.addEventListener("change", draw);
  document.addEventListener("keydown", (event) => {
    const jump = event.shiftKey ? 10 : 1;
    const actions = {
      " ": () => setPlaying(!playing),
      ArrowLeft: () => { setPlaying(false); seek(Math.floor(position) - jump); },
      ArrowRight: () => { setPlaying(false); seek(Math.floor(position) + jump); },
      Home: () => { setPlaying(false); seek(0); },
      End: () => { setPlaying(false); seek(last); },
      "[": () => changeSpeed(-1),
      "]": () => changeSpeed(1),
    };
    const action = actions[event.key];
    if (action && !(event.target instanceof HTMLSelectElement)) {
      event.preventDefault();
      action();
    }
  });

  draw();
  window.zorbicViewer = {
    seek,
    play: () => setPlaying(true),
    pause: () => setPlaying(false),
    get step() { return Math.floor(position); },
    steps: last,
    ready: true,
  };
})();
