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
  // Axis labels for intensities, as the library's own labelsKMB option writes them.
  function kmb(v) {
    var a = Math.abs(v);
    var unit = a >= 1e9 ? [1e9, 'B'] : a >= 1e6 ? [1e6, 'M'] : a >= 1e3 ? [1e3, 'K'] : [1, ''];
    return String(Math.round(v / unit[0] * 100) / 100) + unit[1];
  }
  // Axis labels for retention time and m/z: plain numbers (the K/M shorthand is for intensities).
  function plain(v) { return String(Math.round(v * 1000) / 1000); }
  function put(dl, term, value) {
    dl.appendChild(el('dt', term));
    dl.appendChild(el('dd', value));
  }
  function putNode(dl, term, node) {
    dl.appendChild(el('dt', term));
    dl.appendChild(el('dd')).appendChild(node);
  }

  // ---------------------------------------------------------------------------------
  // Scans: lookup by scan id, and their kept points from the base64 table (decoded once,
  // when the first spectrum is shown).

  // Each scan's nearest MS1 scan before it in the run (-1: none), as the precursor
  // envelope is looked for.
  var ms1Before = new Int32Array(count);
  for (var i = 0, last = -1; i < count; i++) {
    ms1Before[i] = last;
    if (S.level[i] === 1) last = i;
  }
  var byId = new Map();
  for (i = 0; i < count; i++) if (!byId.has(S.scan_id[i])) byId.set(S.scan_id[i], i);
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
  if (run.salvaged) {
    put(facts, 'Scan index', 'cut, salvaged: ' + grouped(run.salvaged.records_kept) + ' records read');
    $('salvaged').textContent = 'This run\'s scan index was cut (a run stopped mid-acquisition) and read in ' +
      'salvage mode: ' + run.salvaged.warning + '.';
    $('salvaged').hidden = false;
  }
  // A scan id that selects its scan when clicked; also a link to the page opened on it.
  function scanLink(k, text) {
    var a = el('a', text);
    a.href = '#scan=' + S.scan_id[k];
    a.addEventListener('click', function (e) { e.preventDefault(); select(k); });
    return a;
  }
  function damageItem(d) {
    var li = el('li');
    li.appendChild(scanLink(d.scan, 'scan id ' + d.scan_id));
    li.appendChild(document.createTextNode(': ' + d.error));
    return li;
  }
  if (run.damaged.length) {
    // A badly damaged run would push the plots off the screen: the first few show, the
    // rest fold away under a count (at most a few hundred listed, then how many more).
    var shown = 3, listed = 300;
    run.damaged.slice(0, shown).forEach(function (d) { $('damage-list').appendChild(damageItem(d)); });
    if (run.damaged.length > shown) {
      var more = $('damage-more-list');
      run.damaged.slice(shown, listed).forEach(function (d) { more.appendChild(damageItem(d)); });
      if (run.damaged.length > listed) more.appendChild(el('li', 'and ' + grouped(run.damaged.length - listed) + ' more'));
      $('damage-more-count').textContent = grouped(run.damaged.length - shown) + ' more damaged scan' +
        (run.damaged.length - shown === 1 ? '' : 's');
      $('damage-more').hidden = false;
    }
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
    if (!quiet) writeFragment();
  }
  // The fragment says what is shown: "#scan=N", with "&xic=MZ" (and "&tol=T") when an XIC is drawn.
  var xicShown = null;
  function writeFragment() {
    var parts = [];
    if (selected >= 0) parts.push('scan=' + S.scan_id[selected]);
    if (xicShown) {
      parts.push('xic=' + encodeURIComponent(xicShown.mzText));
      if (xicShown.tol > 0) parts.push('tol=' + encodeURIComponent(xicShown.tolText));
    }
    try { history.replaceState(null, '', '#' + parts.join('&')); } catch (e) { /* a file: URL may refuse */ }
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
  // A damaged scan's data was not read: a gap in the chromatograms, not a zero.
  var damagedAt = new Set(run.damaged.map(function (d) { return d.scan; }));
  C.scan.forEach(function (k, j) {
    if (!finite(S.rt[k])) return;
    var lost = damagedAt.has(k);
    chrom.push({ x: S.rt[k] / 60, k: k, tic: lost ? null : C.tic[j], bpc: lost ? null : C.bpc[j] });
    if (lost) $('gap-note').hidden = false;
  });
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

  // The MS2 scans along the TIC's foot: a tick each while they are at least a few pixels
  // apart; closer than that (thousands of scans), ticks would merge into a band, so each
  // bar of a few pixels counts the scans under it, its height against the tallest.
  var binPixels = 3;
  function ms2Marks(ctx, area, graph) {
    var bins = Math.max(1, Math.ceil(area.w / binPixels)), counts = new Uint32Array(bins), most = 0, seen = 0;
    var at = [];
    ms2.forEach(function (x) {
      var px = graph.toDomXCoord(x);
      if (!(px >= area.x && px <= area.x + area.w)) return;
      var b = Math.min(bins - 1, Math.floor((px - area.x) / binPixels));
      counts[b]++;
      most = Math.max(most, counts[b]);
      seen++;
      at.push(px);
    });
    // The strip below the zero line that the TIC's value range leaves for them.
    var foot = area.y + area.h, zero = Math.round(graph.toDomYCoord(0));
    var strip = Math.max(4, Math.min(foot - zero - 3, 16)), mode;
    ctx.fillStyle = '#f3ebe6';
    ctx.fillRect(area.x, foot - strip - 1, area.w, strip + 1);
    if (most <= 1) {
      ctx.fillStyle = 'rgba(200, 60, 0, 0.8)';
      at.forEach(function (px) { ctx.fillRect(Math.round(px), foot - strip, 1, strip); });
      mode = 'ticks';
      $('ms2-note').textContent = ms2.length ? 'Ticks in the strip under the TIC mark the ' + grouped(ms2.length) +
        ' MS2 scans, one each.' : 'The run has no MS2 scans.';
    } else {
      ctx.fillStyle = 'rgba(200, 60, 0, 0.85)';
      for (var b = 0; b < bins; b++) {
        if (!counts[b]) continue;
        var h = Math.max(1, Math.round(strip * counts[b] / most));
        ctx.fillRect(area.x + b * binPixels, foot - h, binPixels - 1, h);
      }
      mode = 'bars ' + most;
      $('ms2-note').textContent = 'Bars in the strip under the TIC count the ' + grouped(ms2.length) +
        ' MS2 scans, too close here for a tick each: each bar covers ' + binPixels +
        ' pixels, the tallest ' + grouped(most) + ' scans (' + grouped(seen) + ' in view); zoom in for single ticks.';
    }
    $('tic').setAttribute('data-ms2-marks', mode);
  }

  var charts = [];
  var syncing = false;
  // A chart of [retention time (min), value] against the chromatograms' time axis, zoomed
  // with the others; a click selects the nearest chromatogram scan.
  function timeChart(div, data, label, color, extra) {
    var first = data[0][0], last = data[data.length - 1][0];
    var level = C.level === 1 ? 'MS1 ' : '';
    var range = charts.length ? charts[0].xAxisRange() : null;
    // A few scans show as dots too; a single one (or one retention time) gets a minute around it.
    var options = {
      drawPoints: data.length <= 200,
      pointSize: 2,
      // A chart drawn later (the XIC) takes the time axis the others show.
      dateWindow: range || (last > first ? null : [first - 0.5, first + 0.5]),
      labels: ['RT (min)', label],
      colors: [color],
      xlabel: 'retention time (min)',
      ylabel: (extra && extra.ylabel) || level + label,
      labelsKMB: true,
      legend: 'follow',
      strokeWidth: 1.2,
      includeZero: true,
      axes: { x: { valueFormatter: function (v) { return v.toFixed(3) + ' min'; }, axisLabelFormatter: plain },
              y: { axisLabelFormatter: function (v) { return v < 0 ? '' : kmb(v); } } },
      underlayCallback: function (ctx, area, graph) {
        if (extra && extra.ms2) ms2Marks(ctx, area, graph);
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
    };
    if (extra && extra.ms2 && ms2.length) {
      // Room under the zero line for the MS2 strip, so that it never covers the trace.
      var high = 0;
      data.forEach(function (p) { if (finite(p[1])) high = Math.max(high, p[1]); });
      high = high > 0 ? high * 1.05 : 1;
      options.valueRange = [-0.1 * high, high];
    }
    var g = new Dygraph(div, data, options);
    charts.push(g);
    return g;
  }
  function chromatogram(id, key, label, color, withTicks) {
    if (chrom.length === 0) {
      $(id).textContent = 'No scans to draw.';
      return;
    }
    timeChart($(id), chrom.map(function (p) { return [p.x, p[key]]; }), label, color, { ms2: withTicks });
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
  var cellValues = null, fineValues = null;
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
    // The bins' sums on the fine log scale (MapImage::fine_cells), read once; the colours
    // take the top decades of it: 1 for the faintest, 255 for the brightest.
    var fineText = atob(M.fine_cells), fineBytes = new Uint8Array(fineText.length);
    for (var b = 0; b < fineText.length; b++) fineBytes[b] = fineText.charCodeAt(b);
    fineValues = new Uint16Array(fineBytes.buffer, 0, fineBytes.length >> 1);
    cellValues = new Uint8Array(fineValues.length);
    var below = M.fine_decades - M.decades;
    for (b = 0; b < fineValues.length; b++) {
      var level = (M.fine_decades * (fineValues[b] - 1) / 65534 - below) / M.decades;
      if (fineValues[b]) cellValues[b] = 1 + Math.round(254 * Math.min(1, Math.max(0, level)));
    }
    $('map-note').textContent = 'Summed intensity of the ' + (C.level === 1 ? 'MS1 ' : '') + 'scans in ' +
      M.columns + ' retention-time \u00d7 ' + M.rows + ' m/z bins (' + plain((M.mz[1] - M.mz[0]) / M.rows) +
      ' m/z each), coloured on a log scale over the ' + M.decades + ' decades below the brightest bin (the scale ' +
      'at the right); fainter and empty bins take the scale\'s lowest colour' +
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
    var legend = cellValues && M.top > 0;
    plot.w = Math.max(10, width - plot.x - 12 - (legend ? legendWidth : 0));
    plot.h = Math.max(10, height - plot.y - 38);
    if (!cellValues) return;
    if (legend) drawLegend(ctx);
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
  // The colour scale right of the map: the colours from the faintest cell (the foot) to the
  // brightest, labelled with the summed intensity of a bin at each whole decade (the cells
  // are log-scaled: each decade takes the same height).
  var legendWidth = 84;
  function legendLabel(e) {
    return e >= 4 || e <= -3 ? '1e' + e : String(Math.round(Math.pow(10, e) * 1000) / 1000);
  }
  function drawLegend(ctx) {
    var x = plot.x + plot.w + 16, w = 12, top = Math.log10(M.top), foot = top - M.decades;
    for (var y = 0; y < plot.h; y++) {
      var rgb = colour(1 + 254 * (1 - (y + 0.5) / plot.h));
      ctx.fillStyle = 'rgb(' + Math.round(rgb[0]) + ',' + Math.round(rgb[1]) + ',' + Math.round(rgb[2]) + ')';
      ctx.fillRect(x, plot.y + y, w, 1);
    }
    ctx.strokeStyle = '#888';
    ctx.strokeRect(x - 0.5, plot.y - 0.5, w + 1, plot.h + 1);
    ctx.fillStyle = '#333';
    ctx.font = '11px sans-serif';
    ctx.textAlign = 'left';
    ctx.textBaseline = 'middle';
    for (var d = Math.ceil(foot - 1e-9); d <= top + 1e-9; d++) {
      var ty = plot.y + plot.h - (d - foot) / M.decades * plot.h;
      ctx.fillRect(x + w, Math.round(ty), 4, 1);
      ctx.fillText(legendLabel(d), x + w + 6, ty);
    }
    ctx.save();
    ctx.translate(x + w + 56, plot.y + plot.h / 2);
    ctx.rotate(-Math.PI / 2);
    ctx.textAlign = 'center';
    ctx.fillText('summed intensity per bin (log)', 0, 0);
    ctx.restore();
    mapCanvas.setAttribute('data-scale', JSON.stringify({ low: Math.pow(10, foot), high: M.top, log: true }));
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
  // An XIC from the map's bins: the page holds no run's points beyond each scan's kept
  // ones, but the map sums every point of every map scan into its bins. The fine cells
  // read those sums back (to 0.015 %); an XIC at m/z X +- T sums the rows that hold
  // X - T to X + T, per map scan of each retention-time column, at the column's mean time.

  // The row of m/z, as the summary bins it: the top edge belongs to the last row.
  function rowOf(mz) {
    var at = (mz - M.mz[0]) / (M.mz[1] - M.mz[0]) * M.rows;
    return at >= 0 ? Math.min(Math.floor(at), M.rows - 1) : 0;
  }
  function xicOf(mz, tol) {
    var cells = fineValues, r0 = rowOf(mz - tol), r1 = rowOf(mz + tol);
    var top = Math.log10(M.top), D = M.fine_decades, data = [];
    for (var c = 0; c < M.columns; c++) {
      var scans = M.column_scans[c];
      if (!scans || !finite(M.column_rt[c])) continue;
      var sum = 0;
      for (var r = r0; r <= r1; r++) {
        var v = cells[c * M.rows + r];
        if (v) sum += Math.pow(10, top + D * ((v - 1) / 65534 - 1));
      }
      data.push([M.column_rt[c] / 60, sum / scans]);
    }
    data.sort(function (a, b) { return a[0] - b[0]; });
    return { rows: [r0, r1], data: data };
  }
  function number(text) {
    var t = String(text).trim();
    return /^[+]?(\d+\.?\d*|\.\d+)(e[+-]?\d+)?$/i.test(t) ? Number(t) : NaN;
  }
  var xicChart = null;
  function drawXic(mzText, tolText, quiet) {
    var message = $('xic-message');
    message.textContent = '';
    var mz = number(mzText), tol = String(tolText).trim() === '' ? 0 : number(tolText);
    $('xic-mz').value = String(mzText).trim();
    $('xic-tol').value = String(tolText).trim();
    if (!mapUsable || !(M.top > 0)) {
      message.textContent = 'no XIC: the page has no map to read it from';
      return;
    }
    if (!finite(mz) || !finite(tol)) {
      message.textContent = 'give the m/z (and the \u00b1 tolerance in m/z) as plain numbers';
      return;
    }
    if (mz + tol < M.mz[0] || mz - tol > M.mz[1]) {
      message.textContent = 'm/z ' + String(mzText).trim() + ' is outside the map (m/z ' + plain(M.mz[0]) +
        ' \u2013 ' + plain(M.mz[1]) + ')';
      return;
    }
    var x = xicOf(mz, tol), width = (M.mz[1] - M.mz[0]) / M.rows;
    var low = M.mz[0] + x.rows[0] * width, high = M.mz[0] + (x.rows[1] + 1) * width;
    var rows = x.rows[1] - x.rows[0] + 1;
    var label = 'XIC m/z ' + plain(mz) + (tol > 0 ? ' \u00b1 ' + plain(tol) : '');
    $('xic-note').textContent = label + ', from the map: its ' + (rows === 1 ? 'row' : rows + ' rows') +
      ' of m/z ' + low.toFixed(4) + ' \u2013 ' + high.toFixed(4) + ' (the map\'s bins are ' + width.toFixed(4) +
      ' m/z wide, so this is the XIC at that resolution, not at the tolerance asked for when it is finer); ' +
      'each point is the intensity summed over those m/z per ' + (C.level === 1 ? 'MS1 ' : '') +
      'scan, averaged over the scans of one of the map\'s ' + M.columns + ' retention-time columns, at their mean ' +
      'time.' + (M.from_kept_points ? ' The run gives no m/z range, so the map, and this XIC, hold only the ' +
      'points kept on this page.' : '') + ' For an XIC at full resolution use meridel\'s acq.xic().';
    var div = $('xic');
    div.hidden = false;
    div.setAttribute('data-xic', JSON.stringify({ mz: [low, high], rows: x.rows, points: x.data }));
    if (x.data.length === 0) {
      if (xicChart) { charts.splice(charts.indexOf(xicChart), 1); xicChart.destroy(); xicChart = null; }
      div.textContent = 'No map scan to draw.';
    } else if (xicChart) {
      xicChart.updateOptions({ file: x.data, labels: ['RT (min)', label] });
    } else {
      div.textContent = '';
      xicChart = timeChart(div, x.data, label, '#0b7a4b', { ylabel: 'XIC (from the map)' });
    }
    xicShown = { mzText: String(mzText).trim(), tolText: String(tolText).trim(), tol: tol };
    if (!quiet) writeFragment();
  }
  $('xic-go').addEventListener('click', function () { drawXic($('xic-mz').value, $('xic-tol').value); });
  ['xic-mz', 'xic-tol'].forEach(function (id) {
    $(id).addEventListener('keydown', function (e) { if (e.key === 'Enter') drawXic($('xic-mz').value, $('xic-tol').value); });
  });
  if (!mapUsable) $('xic-controls').hidden = true;

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
    var mark = null;  // the precursor m/z the spectrum marks
    if (S.level[k] >= 2) {
      // The MS1 scan before it in the run, where its precursor was isolated from (and
      // where a declared precursor's envelope is read).
      var before = ms1Before[k];
      if (before >= 0) {
        var link = scanLink(before, 'scan id ' + S.scan_id[before]);
        link.title = S.native_id[before];
        link.id = 'ms1-before';
        putNode(dl, 'MS1 scan before', link);
      } else {
        put(dl, 'MS1 scan before', 'none');
      }
      put(dl, 'msn_value_1', fixed(S.msn_value_1[k], 4));
      put(dl, 'msn_value_2', S.msn_value_2[k] === null ? 'none' : fixed(S.msn_value_2[k], 4));
      put(dl, 'reference', S.reference[k] === null ? 'none' : S.reference[k]);
      // The page was written with a declared precursor member: what corvane read from
      // the MS1 envelope beside it.
      var P = run.precursor;
      if (P && P.mz[k] !== null && finite(P.mz[k])) mark = P.mz[k];
      if (!P) {
        // Which member holds the m/z differs between instruments: nothing is marked until
        // the page is written with it declared.
        put(dl, 'Precursor m/z', 'not marked: no member declared (--precursor-mz)');
      }
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
    if (mark !== null) {
      low = Math.min(low, mark);
      high = Math.max(high, mark);
    }
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
    if (mark !== null) {
      options.underlayCallback = function (ctx, area, graph) {
        var x = Math.round(graph.toDomXCoord(mark)) + 0.5;
        if (!(x >= area.x && x <= area.x + area.w)) return;
        ctx.save();
        ctx.strokeStyle = 'rgba(0, 120, 60, 0.9)';
        ctx.setLineDash([5, 3]);
        ctx.beginPath();
        ctx.moveTo(x, area.y);
        ctx.lineTo(x, area.y + area.h);
        ctx.stroke();
        ctx.fillStyle = 'rgb(0, 100, 50)';
        ctx.font = '11px sans-serif';
        ctx.textBaseline = 'top';
        var right = x > area.x + area.w / 2;
        ctx.textAlign = right ? 'right' : 'left';
        ctx.fillText('precursor m/z ' + mark.toFixed(4), right ? x - 4 : x + 4, area.y + 2);
        ctx.restore();
      };
      div.setAttribute('data-precursor-mark', String(mark));
    } else {
      div.removeAttribute('data-precursor-mark');
    }
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
  reductions.appendChild(el('li', 'Map: summed into a grid of ' + M.columns + ' \u00d7 ' + M.rows + ' bins' +
    (mapUsable ? ' of ' + plain((M.mz[1] - M.mz[0]) / M.rows) + ' m/z, so an XIC drawn here is at that m/z ' +
      'resolution' : '') + '; chromatograms: every ' + (C.level === 1 ? 'MS1 ' : '') + 'scan, not reduced.'));
  if (run.salvaged) {
    reductions.appendChild(el('li', 'Scans: the cut end of the scan index, ' + grouped(run.salvaged.bytes_dropped) +
      ' bytes (' + grouped(run.salvaged.records_dropped) + ' incomplete record' +
      (run.salvaged.records_dropped === 1 ? '' : 's') + '), could not be read and is not on this page.'));
  }

  // "#scan=N", "#xic=MZ&tol=T", or both joined by "&".
  function fromFragment() {
    var params = {};
    location.hash.replace(/^#/, '').split('&').forEach(function (part) {
      var eq = part.indexOf('=');
      if (eq <= 0) return;
      var text = part.slice(eq + 1);
      try { text = decodeURIComponent(text); } catch (e) { /* shown as written */ }
      params[part.slice(0, eq)] = text;
    });
    if (params.xic !== undefined) drawXic(params.xic, params.tol === undefined ? '' : params.tol, true);
    if (params.scan !== undefined) selectId(params.scan, true);
  }
  window.addEventListener('hashchange', fromFragment);
  fromFragment();
  if (selected < 0 && count > 0) {
    var best = -1;
    for (i = 0; i < chrom.length; i++) {
      if (chrom[i].bpc !== null && (best < 0 || chrom[i].bpc > chrom[best].bpc)) best = i;
    }
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
