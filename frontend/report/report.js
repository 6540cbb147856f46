// SPDX-License-Identifier: Apache-2.0
// The site report's own script, inlined in the page after Chart.js (these leading comment
// lines are left out). Draws each phone's charts from the embedded document, then marks each
// canvas with the number of coloured pixels inside its plot area (data-drawn; the grid and
// axes are grey), and <html> with data-charts="done", for the tests and for anyone wondering
// whether a chart drew.
(function () {
  'use strict';
  var data = JSON.parse(document.getElementById('report-data').textContent);
  var phones = data.report.phones;
  var colours = { p50: '#1f77b4', p95: '#d62728', loss: '#9467bd', mos: '#2ca02c', stop: '#e4572e' };
  function inked(chart) {
    var a = chart.chartArea, ctx = chart.ctx, r = chart.currentDevicePixelRatio || 1;
    var x = Math.floor(a.left * r), y = Math.floor(a.top * r);
    var w = Math.max(1, Math.floor((a.right - a.left) * r)), h = Math.max(1, Math.floor((a.bottom - a.top) * r));
    var px = ctx.getImageData(x, y, w, h).data, n = 0;
    for (var i = 0; i < px.length; i += 4) {
      var hi = Math.max(px[i], px[i + 1], px[i + 2]), lo = Math.min(px[i], px[i + 1], px[i + 2]);
      if (px[i + 3] > 128 && hi - lo > 60) n++;
    }
    return n;
  }
  function line(label, points, colour, extra) {
    var d = { label: label, data: points, showLine: true, borderColor: colour, backgroundColor: colour,
              borderWidth: 2, pointRadius: points.length > 60 ? 0 : 2 };
    for (var k in extra || {}) d[k] = extra[k];
    return d;
  }
  document.querySelectorAll('canvas[data-phone]').forEach(function (canvas) {
    var phone = phones[Number(canvas.getAttribute('data-phone'))];
    var windows = [], stops = [];
    phone.cycles.forEach(function (c) {
      c.voice.windows.forEach(function (w) { windows.push(w); });
      c.voice.interruptions.forEach(function (s) { stops.push(s); });
    });
    if (windows.length === 0) return;
    var t0 = Date.parse(windows[0].time);
    var at = function (iso) { return (Date.parse(iso) - t0) / 60000; };
    var kind = canvas.getAttribute('data-chart'), sets = [], y = {}, floor = 0;
    if (kind === 'rtt') {
      sets.push(line('p50 round trip, ms', windows.map(function (w) { return { x: at(w.time), y: w.rttP50Us / 1000 }; }), colours.p50));
      sets.push(line('p95 round trip, ms', windows.map(function (w) { return { x: at(w.time), y: w.rttP95Us / 1000 }; }), colours.p95));
      y = { beginAtZero: true, title: { display: true, text: 'round trip, ms' } };
    } else if (kind === 'loss') {
      sets.push(line('frames lost, %', windows.map(function (w) { return { x: at(w.time), y: 100 * w.lost / w.frames }; }), colours.loss));
      y = { beginAtZero: true, suggestedMax: 1, title: { display: true, text: 'lost, %' } };
    } else {
      var xs = windows.map(function (w) { return at(w.time); });
      sets.push(line('MOS per 10 s', windows.map(function (w) { return { x: at(w.time), y: w.mos }; }), colours.mos));
      sets.push(line('3.6: poor below', [{ x: Math.min.apply(null, xs), y: 3.6 }, { x: Math.max.apply(null, xs), y: 3.6 }],
                     '#555', { borderDash: [6, 4], borderWidth: 1, pointRadius: 0 }));
      y = { min: 1, max: 4.5, title: { display: true, text: 'MOS' } };
      floor = 1;
    }
    if (stops.length > 0) {
      sets.push({ label: 'interruption', data: stops.map(function (s) { return { x: at(s.time), y: floor }; }),
                  pointStyle: 'triangle', pointRadius: 7, borderColor: colours.stop, backgroundColor: colours.stop });
    }
    var chart = new Chart(canvas, {
      type: 'scatter',
      data: { datasets: sets },
      options: {
        responsive: false, animation: false, devicePixelRatio: 2,
        plugins: { legend: { position: 'bottom' }, tooltip: { enabled: true } },
        scales: { x: { title: { display: true, text: 'minutes since ' + windows[0].time.substr(11, 8) } }, y: y }
      }
    });
    canvas.setAttribute('data-drawn', String(inked(chart)));
  });

  // The interruptions seen together: a row per tested phone with its spans as bars, and each
  // shared interruption shaded, in its scope's colour, across the rows of its phones.
  var timeline = data.siteReport.timeline;
  var together = document.querySelector('canvas[data-chart="shared"]');
  if (together && timeline.rows.length > 0) {
    var scopes = { phone: 'rgba(31, 119, 180, 0.25)', site: 'rgba(214, 39, 40, 0.25)',
                   sites: 'rgba(255, 127, 14, 0.3)', everywhere: 'rgba(148, 103, 189, 0.3)' };
    var unit = timeline.endMs - timeline.startMs > 300000 ? 60000 : 1000;
    var sec = function (ms) { return (ms - timeline.startMs) / unit; };
    var labels = timeline.rows.map(function (r) { return r.name; });
    var bars = [];
    timeline.rows.forEach(function (r) {
      r.spans.forEach(function (s) { bars.push({ x: [sec(s[0]), sec(s[1])], y: r.name }); });
    });
    var present = [];
    timeline.shared.forEach(function (g) { if (present.indexOf(g.scope) < 0) present.push(g.scope); });
    var shade = {
      id: 'shade',
      beforeDatasetsDraw: function (chart) {
        var xs = chart.scales.x, ys = chart.scales.y, ctx = chart.ctx;
        var row = labels.length > 1 ? Math.abs(ys.getPixelForValue(1) - ys.getPixelForValue(0))
                                    : chart.chartArea.bottom - chart.chartArea.top;
        ctx.save();
        timeline.shared.forEach(function (g) {
          var left = xs.getPixelForValue(sec(g.startMs));
          var width = Math.max(3, xs.getPixelForValue(sec(g.endMs)) - left);
          ctx.fillStyle = scopes[g.scope];
          g.rows.forEach(function (i) { ctx.fillRect(left, ys.getPixelForValue(i) - row / 2, width, row); });
        });
        ctx.restore();
      }
    };
    var chart = new Chart(together, {
      type: 'bar',
      data: { labels: labels, datasets: [{ label: 'frames lost', data: bars, backgroundColor: colours.stop,
                                           borderSkipped: false, barPercentage: 0.5, minBarLength: 2 }] },
      options: {
        indexAxis: 'y', responsive: false, animation: false, devicePixelRatio: 2,
        plugins: {
          legend: {
            position: 'bottom', onClick: function () {},
            labels: {
              generateLabels: function (c) {
                var items = Chart.defaults.plugins.legend.labels.generateLabels(c);
                present.forEach(function (scope) {
                  items.push({ text: 'seen together: ' + scope, fillStyle: scopes[scope],
                               strokeStyle: scopes[scope], lineWidth: 0 });
                });
                return items;
              }
            }
          },
          tooltip: { enabled: true }
        },
        scales: {
          x: { type: 'linear', min: 0, max: sec(timeline.endMs),
               title: { display: true, text: (unit === 1000 ? 'seconds' : 'minutes') + ' since ' +
                                             data.report.startedAt.substr(11, 8) } },
          y: { type: 'category' }
        }
      },
      plugins: [shade]
    });
    together.setAttribute('data-drawn', String(inked(chart)));
  }
  document.documentElement.setAttribute('data-charts', 'done');
})();
