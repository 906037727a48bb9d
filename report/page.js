// The report page: reads the run's data from #run-data and draws the panels. Every text
// from the run goes into the page as textContent, never as markup.
(function () {
  'use strict';

  var stages = ['start ' + Math.round(performance.now())];
  function stage(name) { stages.push(name + ' ' + Math.round(performance.now())); }
  var run = JSON.parse(document.getElementById('run-data').textContent);
  stage('parsed');
  var S = run.scans;
  var count = S.scan_id.length;

  function $(id) { return document.getElementById(id); }
  function el(tag, text) {
    var e = document.createElement(tag);
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function finite(v) { return typeof v === 'number' && isFinite(v); }
  function grouped(n) { return String(n).replace(/\B(?=(\d{3})+(?!\d))/g, ','); }
  function fixed(v, digits) { return finite(v) ? v.toFixed(digits) : '\u2013'; }
  function minutes(sec) { return finite(sec) ? (sec / 60).toFixed(3) + ' min' : '\u2013'; }
  function intensity(v) {
    if (!finite(v)) return String(v);
    return Math.abs(v) >= 1e5 ? v.toExponential(3) : String(Math.round(v * 100) / 100);
  }
  // Axis labels for retention time and m/z: plain numbers (the K/M shorthand is for intensities).
  function plain(v) { return String(Math.round(v * 1000) / 1000); }
  function put(dl, term, value) {
    dl.appendChild(el('dt', term));
    dl.appendChild(el('dd', value));
  }

  // ---------------------------------------------------------------------------------
  // Scans: lookup by scan id, and their kept points from the base64 table (decoded once,
  // when the first spectrum is shown).

  var byId = new Map();
  for (var i = 0; i < count; i++) if (!byId.has(S.scan_id[i])) byId.set(S.scan_id[i], i);
  // Scan k's part of the base64 table starts at character from[k]: its 8 bytes a point,
  // padded to a multiple of 3 bytes, are 4 characters for every 3 bytes.
  var from = new Array(count + 1), kept = 0;
  from[0] = 0;
  for (i = 0; i < count; i++) {
    from[i + 1] = from[i] + Math.ceil(S.kept[i] * 8 / 3) * 4;
    kept += S.kept[i];
  }
  function points(k) {
    var n = S.kept[k];
    var bin = atob(run.peaks.substring(from[k], from[k + 1]));
    var bytes = new Uint8Array(bin.length);
    for (var b = 0; b < bin.length; b++) bytes[b] = bin.charCodeAt(b);
    var q = new Uint32Array(bytes.buffer, 0, n), y = new Float32Array(bytes.buffer, n * 4, n);
    var low = S.mz_low[k], high = S.mz_high[k], out = [];
    var scale = finite(low) && finite(high) ? (high - low) / 4294967295 : 0;
    for (var p = 0; p < n; p++) out.push([low + q[p] * scale, y[p]]);
    out.sort(function (a, c) { return a[0] - c[0]; });
    return out;
  }

  // ---------------------------------------------------------------------------------
  // Header

  var facts = $('facts');
  var levels = run.scans_by_level.map(function (e) { return 'MS' + e[0] + ': ' + grouped(e[1]); }).join(', ');
  var rtLow = Infinity, rtHigh = -Infinity;
  S.rt.forEach(function (t) { if (finite(t)) { rtLow = Math.min(rtLow, t); rtHigh = Math.max(rtHigh, t); } });
  put(facts, 'Source', run.source_name);
  put(facts, 'Path', run.path);
  put(facts, 'Instrument', run.instrument.name + ' (' + run.instrument.accession + ')');
  put(facts, 'Acquired', run.acquired_time === null ? 'not recorded' : run.acquired_time);
  put(facts, 'Scans', grouped(count) + (levels ? ' (' + levels + ')' : ''));
  put(facts, 'Retention time', rtLow <= rtHigh ? minutes(rtLow) + ' \u2013 ' + minutes(rtHigh) : 'none');
  put(facts, 'Total points', grouped(run.total_points));
  put(facts, 'Damaged scans', run.damaged.length ? grouped(run.damaged.length) : 'none');
  if (run.damaged.length) {
    var list = $('damage-list');
    // A badly damaged run would bury the page: the first hundred, then a count.
    run.damaged.slice(0, 100).forEach(function (d) {
      list.appendChild(el('li', 'scan id ' + d.scan_id + ': ' + d.error));
    });
    if (run.damaged.length > 100) list.appendChild(el('li', 'and ' + grouped(run.damaged.length - 100) + ' more'));
    $('damage').hidden = false;
  }
  $('generator').textContent = 'Written by ' + run.generator + '. Plots: dygraphs (Debian libjs-dygraphs).';

  // ---------------------------------------------------------------------------------
  // Selection: one scan at a time, shared by every panel and the URL fragment.

  var selected = -1;
  var listeners = [];
  function select(k, quiet) {
    if (k < 0 || k >= count) return;
    selected = k;
    $('scan-message').textContent = '';
    $('scan-input').value = String(S.scan_id[k]);
    listeners.forEach(function (f) { f(k); });
    if (!quiet) {
      try { history.replaceState(null, '', '#scan=' + S.scan_id[k]); } catch (e) { /* a file: URL may refuse */ }
    }
  }
  function selectId(text, quiet) {
    var id = /^\s*\d+\s*$/.test(text) ? Number(text) : NaN;
    if (byId.has(id)) {
      select(byId.get(id), quiet);
    } else {
      $('scan-message').textContent = 'no scan with id ' + String(text).trim();
    }
  }

  // ---------------------------------------------------------------------------------
  // Chromatograms: TIC and BPC of the MS1 scans (all scans when there is no MS1), zoomed
  // together; MS2 scans as ticks; a click selects the nearest scan.

  var C = run.chromatogram;
  var chrom = [];
  C.scan.forEach(function (k, j) { if (finite(S.rt[k])) chrom.push({ x: S.rt[k] / 60, k: k, tic: C.tic[j], bpc: C.bpc[j] }); });
  chrom.sort(function (a, b) { return a.x - b.x || a.k - b.k; });
  var ms2 = [];
  for (i = 0; i < count; i++) if (S.level[i] >= 2 && finite(S.rt[i])) ms2.push(S.rt[i] / 60);

  function nearest(x) {
    var lo = 0, hi = chrom.length - 1;
    if (hi < 0) return -1;
    while (lo < hi) {
      var mid = (lo + hi) >> 1;
      if (chrom[mid].x < x) lo = mid + 1; else hi = mid;
    }
    if (lo > 0 && Math.abs(chrom[lo - 1].x - x) <= Math.abs(chrom[lo].x - x)) lo--;
    return chrom[lo].k;
  }

  var charts = [];
  var syncing = false;
  function chromatogram(id, key, label, color, withTicks) {
    var div = $(id);
    if (chrom.length === 0) {
      div.textContent = 'No scans to draw.';
      return;
    }
    var level = C.level === 1 ? 'MS1 ' : '';
    // A few scans show as dots too; a single one (or one retention time) gets a minute around it.
    var first = chrom[0].x, last = chrom[chrom.length - 1].x;
    var g = new Dygraph(div, chrom.map(function (p) { return [p.x, p[key]]; }), {
      drawPoints: chrom.length <= 200,
      pointSize: 2,
      dateWindow: last > first ? null : [first - 0.5, first + 0.5],
      labels: ['RT (min)', label],
      colors: [color],
      xlabel: 'retention time (min)',
      ylabel: level + label,
      labelsKMB: true,
      legend: 'follow',
      strokeWidth: 1.2,
      includeZero: true,
      axes: { x: { valueFormatter: function (v) { return v.toFixed(3) + ' min'; }, axisLabelFormatter: plain } },
      underlayCallback: function (ctx, area, graph) {
        if (withTicks) {
          ctx.fillStyle = 'rgba(200, 60, 0, 0.3)';
          ms2.forEach(function (x) {
            var px = graph.toDomXCoord(x);
            if (px >= area.x && px <= area.x + area.w) ctx.fillRect(Math.round(px), area.y + area.h - 5, 1, 5);
          });
        }
        if (selected >= 0 && finite(S.rt[selected])) {
          var sx = graph.toDomXCoord(S.rt[selected] / 60);
          ctx.fillStyle = 'rgba(0, 110, 0, 0.7)';
          if (sx >= area.x && sx <= area.x + area.w) ctx.fillRect(Math.round(sx), area.y, 1, area.h);
        }
      },
      clickCallback: function (e, x) { select(nearest(x)); },
      drawCallback: function (graph, initial) {
        if (initial || syncing) return;
        syncing = true;
        var range = graph.xAxisRange();
        charts.forEach(function (other) {
          if (other !== graph) {
            var r = other.xAxisRange();
            if (r[0] !== range[0] || r[1] !== range[1]) other.updateOptions({ dateWindow: range });
          }
        });
        syncing = false;
      }
    });
    charts.push(g);
  }
  stage('header');
  chromatogram('tic', 'tic', 'TIC', '#1f5fa8', true);
  chromatogram('bpc', 'bpc', 'base peak', '#7a3f98', false);
  listeners.push(function () { charts.forEach(function (g) { g.updateOptions({}); }); });

  // ---------------------------------------------------------------------------------
  // The LC-MS map: the binned cells drawn through a colour scale, with axes; a click
  // selects the nearest scan of that retention time.

  stage('chromatograms');
  var M = run.map;
  var mapCanvas = $('map');
  var mapImage = null;
  var plot = { x: 62, y: 8, w: 0, h: 0 };
  // A viridis-like scale from the faintest bin (1) to the brightest (255).
  var colours = [[68, 1, 84], [59, 82, 139], [33, 145, 140], [94, 201, 98], [253, 231, 37]];
  function colour(v) {
    var t = (v - 1) / 254 * (colours.length - 1);
    var a = Math.min(Math.floor(t), colours.length - 2), f = t - a;
    var c0 = colours[a], c1 = colours[a + 1];
    return [c0[0] + (c1[0] - c0[0]) * f, c0[1] + (c1[1] - c0[1]) * f, c0[2] + (c1[2] - c0[2]) * f];
  }
  var mapUsable = M.columns > 0 && M.rows > 0 && finite(M.mz[0]) && finite(M.mz[1]) && M.mz[1] > M.mz[0];
  var cellValues = null;
  // The map as an image of at most width x height pixels: where the grid has more cells than
  // the canvas has pixels, each pixel shows the brightest cell it covers, so that a compound
  // one cell wide never falls between two pixels and vanishes.
  function mapImageFor(width, height) {
    var w = Math.max(1, Math.min(M.columns, width)), h = Math.max(1, Math.min(M.rows, height));
    if (mapImage && mapImage.width === w && mapImage.height === h) return mapImage;
    var off = document.createElement('canvas');
    off.width = w;
    off.height = h;
    var octx = off.getContext('2d');
    var img = octx.createImageData(w, h);
    for (var i = 0; i < w; i++) {
      var c0 = Math.floor(i * M.columns / w), c1 = Math.max(c0 + 1, Math.floor((i + 1) * M.columns / w));
      for (var j = 0; j < h; j++) {
        var r0 = Math.floor(j * M.rows / h), r1 = Math.max(r0 + 1, Math.floor((j + 1) * M.rows / h));
        var v = 1;  // an empty bin looks like the faintest one
        for (var c = c0; c < c1; c++) {
          for (var r = r0; r < r1; r++) v = Math.max(v, cellValues[c * M.rows + r]);
        }
        var at = ((h - 1 - j) * w + i) * 4, rgb = colour(v);
        img.data[at] = rgb[0]; img.data[at + 1] = rgb[1]; img.data[at + 2] = rgb[2]; img.data[at + 3] = 255;
      }
    }
    octx.putImageData(img, 0, 0);
    mapImage = off;
    return off;
  }
  if (mapUsable) {
    var cellText = atob(M.cells);
    cellValues = new Uint8Array(cellText.length);
    for (var b = 0; b < cellText.length; b++) cellValues[b] = cellText.charCodeAt(b);
    $('map-note').textContent = 'Summed intensity of the ' + (C.level === 1 ? 'MS1 ' : '') + 'scans in ' +
      M.columns + ' retention-time \u00d7 ' + M.rows + ' m/z bins, log-scaled over four decades' +
      (M.from_kept_points ? ' (binned from the points kept on this page: the run gives no m/z range)' : '') + '.';
  } else {
    $('map-note').textContent = 'No map: the scans\' points span no m/z range to bin them over.';
  }

  // About `wanted` round values (1, 2 or 5 times a power of ten apart) from low to high.
  function ticks(low, high, wanted) {
    var span = high - low;
    if (!(span > 0)) return [low];
    var raw = span / wanted, magnitude = Math.pow(10, Math.floor(Math.log10(raw)));
    var step = [1, 2, 5, 10].map(function (m) { return m * magnitude; }).filter(function (s) { return s >= raw; })[0];
    var out = [];
    for (var t = Math.ceil(low / step) * step; t <= high + step * 1e-9; t += step) out.push(t);
    return out;
  }
  function rtRange() {
    var lo = M.rt[0] / 60, hi = M.rt[1] / 60;
    return hi > lo ? [lo, hi] : [lo - 0.5, lo + 0.5];
  }
  function drawMap() {
    var box = $('map-box');
    var ratio = window.devicePixelRatio || 1;
    var width = box.clientWidth, height = box.clientHeight;
    mapCanvas.width = Math.round(width * ratio);
    mapCanvas.height = Math.round(height * ratio);
    var ctx = mapCanvas.getContext('2d');
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    ctx.fillStyle = '#fff';
    ctx.fillRect(0, 0, width, height);
    plot.w = Math.max(10, width - plot.x - 12);
    plot.h = Math.max(10, height - plot.y - 38);
    if (!cellValues) return;
    ctx.imageSmoothingEnabled = false;
    ctx.drawImage(mapImageFor(Math.round(plot.w * ratio), Math.round(plot.h * ratio)), plot.x, plot.y, plot.w, plot.h);
    ctx.strokeStyle = '#888';
    ctx.strokeRect(plot.x - 0.5, plot.y - 0.5, plot.w + 1, plot.h + 1);
    ctx.fillStyle = '#333';
    ctx.font = '11px sans-serif';
    var rt = rtRange();
    ctx.textAlign = 'center';
    ctx.textBaseline = 'top';
    ticks(rt[0], rt[1], 8).forEach(function (t) {
      var x = plot.x + (t - rt[0]) / (rt[1] - rt[0]) * plot.w;
      ctx.fillRect(Math.round(x), plot.y + plot.h, 1, 4);
      ctx.fillText(String(Math.round(t * 1000) / 1000), x, plot.y + plot.h + 5);
    });
    ctx.fillText('retention time (min)', plot.x + plot.w / 2, plot.y + plot.h + 20);
    ctx.textAlign = 'right';
    ctx.textBaseline = 'middle';
    ticks(M.mz[0], M.mz[1], 8).forEach(function (t) {
      var y = plot.y + plot.h - (t - M.mz[0]) / (M.mz[1] - M.mz[0]) * plot.h;
      ctx.fillRect(plot.x - 4, Math.round(y), 4, 1);
      ctx.fillText(String(Math.round(t * 100) / 100), plot.x - 6, y);
    });
    ctx.save();
    ctx.translate(12, plot.y + plot.h / 2);
    ctx.rotate(-Math.PI / 2);
    ctx.textAlign = 'center';
    ctx.fillText('m/z', 0, 0);
    ctx.restore();
    if (selected >= 0 && finite(S.rt[selected])) {
      var sx = plot.x + (S.rt[selected] / 60 - rt[0]) / (rt[1] - rt[0]) * plot.w;
      if (sx >= plot.x && sx <= plot.x + plot.w) {
        ctx.fillStyle = 'rgba(255, 60, 60, 0.9)';
        ctx.fillRect(Math.round(sx), plot.y, 1, plot.h);
      }
    }
  }
  function mapPoint(e) {
    var box = mapCanvas.getBoundingClientRect();
    var x = e.clientX - box.left, y = e.clientY - box.top;
    if (!cellValues || x < plot.x || x > plot.x + plot.w || y < plot.y || y > plot.y + plot.h) return null;
    var rt = rtRange();
    return { rt: rt[0] + (x - plot.x) / plot.w * (rt[1] - rt[0]),
             mz: M.mz[0] + (plot.y + plot.h - y) / plot.h * (M.mz[1] - M.mz[0]) };
  }
  mapCanvas.addEventListener('mousemove', function (e) {
    var p = mapPoint(e);
    $('map-readout').textContent = p ? 'RT ' + p.rt.toFixed(3) + ' min, m/z ' + p.mz.toFixed(3) : '\u00a0';
  });
  mapCanvas.addEventListener('click', function (e) {
    var p = mapPoint(e);
    if (p) select(nearest(p.rt));
  });
  drawMap();
  stage('map');
  window.addEventListener('resize', drawMap);
  listeners.push(drawMap);

  // ---------------------------------------------------------------------------------
  // The spectrum of the selected scan: sticks for centroid data, a line for profile data
  // (a profile's left-out stretches drawn at zero).

  function sticks(e) {
    var ctx = e.drawingContext, area = e.plotArea;
    var base = Math.min(area.y + area.h, Math.max(area.y, e.dygraph.toDomYCoord(0)));
    ctx.strokeStyle = e.color;
    ctx.lineWidth = 1;
    ctx.beginPath();
    e.points.forEach(function (p) {
      if (!finite(p.canvasy)) return;
      var x = Math.round(p.canvasx) + 0.5;
      ctx.moveTo(x, base);
      ctx.lineTo(x, p.canvasy);
    });
    ctx.stroke();
  }
  function withGaps(data, step) {
    if (!(step > 0)) return data;
    var out = [];
    data.forEach(function (p, j) {
      if (j > 0 && p[0] - data[j - 1][0] > 1.5 * step) {
        out.push([data[j - 1][0] + step, 0]);
        out.push([p[0] - step, 0]);
      }
      out.push(p);
    });
    return out;
  }
  var spectrum = null;
  listeners.push(function (k) {
    $('spectrum-panel').setAttribute('data-scan-id', String(S.scan_id[k]));
    var dl = $('spectrum-facts');
    dl.textContent = '';
    put(dl, 'Scan id', String(S.scan_id[k]));
    put(dl, 'Native id', S.native_id[k]);
    put(dl, 'Retention time', minutes(S.rt[k]) + ' (' + fixed(S.rt[k], 2) + ' s)');
    put(dl, 'MS level', String(S.level[k]));
    if (S.level[k] >= 2) {
      put(dl, 'msn_value_1', fixed(S.msn_value_1[k], 4));
      put(dl, 'msn_value_2', S.msn_value_2[k] === null ? 'none' : fixed(S.msn_value_2[k], 4));
      put(dl, 'reference', S.reference[k] === null ? 'none' : S.reference[k]);
      // The page was written with a declared precursor member: what corvane read from
      // the MS1 envelope beside it.
      var P = run.precursor;
      if (P) {
        put(dl, 'Precursor m/z (' + P.member + ')', P.mz[k] === null ? 'none in this scan' : fixed(P.mz[k], 4));
        if (P.mz[k] !== null) {
          put(dl, 'Charge', P.charge[k] === null ? 'undecided' : P.charge[k] + '+');
          put(dl, 'Monoisotopic m/z', P.monoisotopic_mz[k] === null ? 'undecided' : fixed(P.monoisotopic_mz[k], 4));
          put(dl, 'Envelope read from', P.envelope_scan[k] === null ? 'no earlier MS1 scan' : P.envelope_scan[k]);
        }
      }
    }
    put(dl, 'Data', (S.profile[k] ? 'profile' : 'centroid') + ', ' + grouped(S.points[k]) +
      (S.points[k] === 1 ? ' point' : ' points'));
    var damage = run.damaged.filter(function (d) { return d.scan === k; });
    if (damage.length) put(dl, 'Damaged', damage[0].error);

    var data = points(k);
    var note = $('spectrum-note');
    note.textContent = S.kept[k] >= S.points[k] ? ''
      : S.profile[k] ? 'Showing ' + grouped(S.kept[k]) + ' of ' + grouped(S.points[k]) +
                       ' points: the tops of the most intense peaks, drawn down to zero between them.'
      : 'Showing the ' + grouped(S.kept[k]) + ' most intense of ' + grouped(S.points[k]) + ' peaks.';
    if (spectrum) { spectrum.destroy(); spectrum = null; }
    var div = $('spectrum');
    div.textContent = '';
    if (data.length === 0) {
      div.textContent = 'This scan has no points.';
      return;
    }
    var low = data[0][0], high = data[data.length - 1][0], top = 0;
    data.forEach(function (p) { if (finite(p[1])) top = Math.max(top, p[1]); });
    var pad = Math.max(0.5, (high - low) * 0.03);
    var profile = S.profile[k] === 1;
    var options = {
      labels: ['m/z', 'intensity'],
      colors: [profile ? '#1f5fa8' : '#b03000'],
      xlabel: 'm/z',
      ylabel: 'intensity',
      labelsKMB: true,
      legend: 'follow',
      strokeWidth: 1,
      dateWindow: [low - pad, high + pad],
      valueRange: [0, top > 0 ? top * 1.08 : 1],
      axes: { x: { valueFormatter: function (v) { return 'm/z ' + v.toFixed(4); }, axisLabelFormatter: plain },
              y: { valueFormatter: intensity } }
    };
    // An explicit undefined plotter would replace the library's own line plotter.
    if (!profile) options.plotter = sticks;
    spectrum = new Dygraph(div, profile ? withGaps(data, S.step[k]) : data, options);
  });

  $('scan-go').addEventListener('click', function () { selectId($('scan-input').value); });
  $('scan-input').addEventListener('keydown', function (e) { if (e.key === 'Enter') selectId($('scan-input').value); });
  $('scan-prev').addEventListener('click', function () { select(selected - 1); });
  $('scan-next').addEventListener('click', function () { select(selected + 1); });

  // ---------------------------------------------------------------------------------
  // What was left out, then the first scan: the fragment's, else the base peak's.

  var reductions = $('reductions');
  var reduced = 0;
  for (i = 0; i < count; i++) if (S.kept[i] < S.points[i]) reduced++;
  reductions.appendChild(el('li', reduced
    ? 'Spectra: ' + grouped(reduced) + ' of ' + grouped(count) + ' scans keep at most ' +
      grouped(run.points_per_scan) + ' points each: centroid scans their most intense peaks, profile scans ' +
      'the apex and both neighbours of their most intense peaks (the page holds ' + grouped(kept) +
      ' of the run\'s ' + grouped(run.total_points) + ' points).'
    : 'Spectra: every point of every scan is on this page.'));
  reductions.appendChild(el('li', 'Map: summed into a grid of ' + M.columns + ' \u00d7 ' + M.rows +
    ' bins; chromatograms: every ' + (C.level === 1 ? 'MS1 ' : '') + 'scan, not reduced.'));

  function fromFragment() {
    var m = /^#scan=(.*)$/.exec(location.hash);
    if (!m) return;
    var text = m[1];
    try { text = decodeURIComponent(text); } catch (e) { /* shown as written */ }
    selectId(text, true);
  }
  window.addEventListener('hashchange', fromFragment);
  fromFragment();
  if (selected < 0 && count > 0) {
    var best = -1;
    for (i = 0; i < chrom.length; i++) if (best < 0 || chrom[i].bpc > chrom[best].bpc) best = i;
    var message = $('scan-message').textContent;  // an unknown id in the fragment stays said
    select(best >= 0 ? chrom[best].k : 0, true);
    $('scan-message').textContent = message;
  }
  stage('spectrum');
  document.documentElement.setAttribute('data-stages', stages.join(', '));
  // Where the plots are on the page, in CSS pixels, for whoever checks a screenshot.
  var layout = {};
  ['tic', 'bpc', 'map', 'spectrum'].forEach(function (id) {
    var r = $(id).getBoundingClientRect();
    layout[id] = [Math.round(r.left), Math.round(r.top + window.scrollY), Math.round(r.width), Math.round(r.height)];
  });
  document.documentElement.setAttribute('data-layout', JSON.stringify(layout));
  // Milliseconds from the start of navigation until every panel is drawn.
  document.documentElement.setAttribute('data-load-ms', String(Math.round(performance.now())));
  document.documentElement.setAttribute('data-ready', '1');
})();
