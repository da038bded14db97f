"use strict";
// Plays a recorded match on a canvas: the stadium drawn from the same
// strokes as the picture renderer, the bodies at their recorded positions.
(function () {
  const match = JSON.parse(document.getElementById("match").textContent);
  const view = match.view;
  const canvas = document.getElementById("pitch");
  const slider = document.getElementById("slider");
  const playButton = document.getElementById("play");
  const speedSelect = document.getElementById("speed");
  const readout = document.getElementById("readout");
  const ctx = canvas.getContext("2d");
  const last = match.ball.length / 2 - 1;
  const nPlayers = match.teams.length;
  const speeds = [0.25, 0.5, 1, 2, 4];

  canvas.width = view.width;
  canvas.height = view.height;
  slider.max = String(last);

  // Pixel (i, j) covers [i, i + 1) x [j, j + 1), as in the picture renderer.
  const px = (x) => view.ox + x * view.scale;
  const py = (y) => view.oy - y * view.scale;

  function drawStadium() {
    const layer = document.createElement("canvas");
    layer.width = view.width;
    layer.height = view.height;
    const g = layer.getContext("2d");
    g.fillStyle = match.grass;
    g.fillRect(0, 0, view.width, view.height);
    g.lineCap = "round";
    g.lineJoin = "round";
    for (const stroke of match.strokes) {
      g.strokeStyle = stroke.color;
      g.lineWidth = Math.max(0.25, stroke.width * view.scale);
      g.setLineDash(stroke.dash ? stroke.dash.map((d) => Math.max(d * view.scale, match.minDash)) : []);
      g.beginPath();
      const p = stroke.points;
      g.moveTo(px(p[0]), py(p[1]));
      for (let k = 2; k < p.length; k += 2) g.lineTo(px(p[k]), py(p[k + 1]));
      g.stroke();
    }
    g.setLineDash([]);
    for (const [x, y, r] of match.obstacles) disc(g, px(x), py(y), r * view.scale, match.colors.obstacle, null);
    return layer;
  }

  function disc(g, x, y, radius, fill, label) {
    if (!Number.isFinite(x) || !Number.isFinite(y) || !(radius > 0)) return;
    radius = Math.min(radius, match.largestDisc);
    const rim = match.rim * view.scale;
    g.beginPath();
    g.arc(x, y, radius, 0, 2 * Math.PI);
    g.fillStyle = match.colors.outline;
    g.fill();
    g.beginPath();
    g.arc(x, y, Math.max(0, radius - rim), 0, 2 * Math.PI);
    g.fillStyle = fill;
    g.fill();
    if (label !== null) {
      g.fillStyle = match.colors.label;
      g.font = match.labelFont + "px sans-serif";
      g.textAlign = "center";
      g.textBaseline = "middle";
      g.fillText(label, x, y);
    }
  }

  const stadium = drawStadium();
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
    ctx.drawImage(stadium, 0, 0);
    for (let j = 0; j < nPlayers; j++) {
      const [x, y] = body(match.players, j, position, nPlayers);
      const fill = match.teams[j] === 2 ? match.colors.red : match.colors.blue;
      disc(ctx, px(x), py(y), match.playerRadius * view.scale, fill, String(j));
    }
    const [bx, by] = body(match.ball, 0, position, 1);
    disc(ctx, px(bx), py(by), match.ballRadius * view.scale, match.colors.ball, null);

    const text = overlayText(step);
    ctx.font = match.overlayFont + "px sans-serif";
    const pad = Math.max(3, Math.floor(match.overlayFont / 3));
    const width = ctx.measureText(text).width;
    ctx.fillStyle = "rgba(0, 0, 0, " + match.overlayShade + ")";
    ctx.fillRect(pad, pad, width + 2 * pad, match.overlayFont + 2 * pad);
    ctx.fillStyle = match.colors.label;
    ctx.textAlign = "left";
    ctx.textBaseline = "top";
    ctx.fillText(text, 2 * pad, 2 * pad);

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
