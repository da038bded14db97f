"use strict";
// One drawing of a match, shared by the replay viewer and the play page: the
// stadium from the same strokes as the picture renderer, then the bodies and
// a one-line overlay. `look` holds the stadium's strokes, the view and the
// colours; the bodies come in engine coordinates.
function zorbicPainter(look, canvas) {
  const view = look.view;
  const ctx = canvas.getContext("2d");
  canvas.width = view.width;
  canvas.height = view.height;

  // Pixel (i, j) covers [i, i + 1) x [j, j + 1), as in the picture renderer.
  const px = (x) => view.ox + x * view.scale;
  const py = (y) => view.oy - y * view.scale;

  function disc(g, x, y, radius, fill, label) {
    if (!Number.isFinite(x) || !Number.isFinite(y) || !(radius > 0)) return;
    radius = Math.min(radius, look.largestDisc);
    const rim = look.rim * view.scale;
    g.beginPath();
    g.arc(x, y, radius, 0, 2 * Math.PI);
    g.fillStyle = look.colors.outline;
    g.fill();
    g.beginPath();
    g.arc(x, y, Math.max(0, radius - rim), 0, 2 * Math.PI);
    g.fillStyle = fill;
    g.fill();
    if (label !== null) {
      g.fillStyle = look.colors.label;
      g.font = look.labelFont + "px sans-serif";
      g.textAlign = "center";
      g.textBaseline = "middle";
      g.fillText(label, x, y);
    }
  }

  function drawStadium() {
    const layer = document.createElement("canvas");
    layer.width = view.width;
    layer.height = view.height;
    const g = layer.getContext("2d");
    g.fillStyle = look.grass;
    g.fillRect(0, 0, view.width, view.height);
    g.lineCap = "round";
    g.lineJoin = "round";
    for (const stroke of look.strokes) {
      g.strokeStyle = stroke.color;
      g.lineWidth = Math.max(0.25, stroke.width * view.scale);
      g.setLineDash(stroke.dash ? stroke.dash.map((d) => Math.max(d * view.scale, look.minDash)) : []);
      g.beginPath();
      const p = stroke.points;
      g.moveTo(px(p[0]), py(p[1]));
      for (let k = 2; k < p.length; k += 2) g.lineTo(px(p[k]), py(p[k + 1]));
      g.stroke();
    }
    g.setLineDash([]);
    for (const [x, y, r] of look.obstacles) disc(g, px(x), py(y), r * view.scale, look.colors.obstacle, null);
    return layer;
  }

  const stadium = drawStadium();

  // ball: [x, y]; players: [x0, y0, x1, y1, ...] in slot order; `marked`,
  // when given, is a slot drawn with a ring round it.
  function frame(ball, players, text, marked) {
    ctx.drawImage(stadium, 0, 0);
    for (let j = 0; j < look.teams.length; j++) {
      const fill = look.teams[j] === 2 ? look.colors.red : look.colors.blue;
      const x = px(players[2 * j]);
      const y = py(players[2 * j + 1]);
      const radius = look.playerRadius * view.scale;
      disc(ctx, x, y, radius, fill, String(j));
      if (j === marked && Number.isFinite(x) && Number.isFinite(y)) {
        ctx.beginPath();
        ctx.arc(x, y, radius + 2 * look.rim * view.scale + 1, 0, 2 * Math.PI);
        ctx.strokeStyle = look.colors.label;
        ctx.lineWidth = Math.max(1, look.rim * view.scale);
        ctx.stroke();
      }
    }
    disc(ctx, px(ball[0]), py(ball[1]), look.ballRadius * view.scale, look.colors.ball, null);

    ctx.font = look.overlayFont + "px sans-serif";
    const pad = Math.max(3, Math.floor(look.overlayFont / 3));
    const width = ctx.measureText(text).width;
    ctx.fillStyle = "rgba(0, 0, 0, " + look.overlayShade + ")";
    ctx.fillRect(pad, pad, width + 2 * pad, look.overlayFont + 2 * pad);
    ctx.fillStyle = look.colors.label;
    ctx.textAlign = "left";
    ctx.textBaseline = "top";
    ctx.fillText(text, 2 * pad, 2 * pad);
  }

  return { frame };
}
