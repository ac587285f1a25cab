// The video player's skin: a bar over the bottom of the video with play and
// pause, a seek bar (loaded and played parts), elapsed and total time and a
// volume bar; space, left and right arrows (seek 5 s), up and down (volume).
// It hides after 2 s without the mouse. The player movie hands it a control
// object through attachPlayer.
import flash.display.Shape;
import flash.display.Sprite;
import flash.events.Event;
import flash.events.KeyboardEvent;
import flash.events.MouseEvent;
import flash.text.TextField;
import flash.text.TextFormat;

@:keep class Skin {
  static var player:Dynamic = null;
  static var bar:Sprite;
  static var button:Shape;
  static var seek:Shape;
  static var volumeBar:Shape;
  static var clock:TextField;
  static var lastMove = 0;
  static inline var HEIGHT = 28;
  static inline var SEEK_X = 34;
  static inline var VOLUME_W = 60;
  static inline var CLOCK_W = 90;

  // Shown for the first 2 s too.
  public static function attachPlayer(p:Dynamic) {
    player = p;
    lastMove = flash.Lib.getTimer();
  }

  static function main() {
    var root = flash.Lib.current;
    bar = new Sprite();
    button = new Shape();
    seek = new Shape();
    volumeBar = new Shape();
    clock = new TextField();
    clock.defaultTextFormat = new TextFormat("_sans", 11, 0xFFFFFF);
    clock.selectable = false;
    clock.mouseEnabled = false;
    for (d in [button, seek, volumeBar]) bar.addChild(d);
    bar.addChild(clock);
    root.addChild(bar);
    bar.addEventListener(MouseEvent.MOUSE_DOWN, onPress);
    root.addEventListener(Event.ENTER_FRAME, function(_) draw());
    root.addEventListener(Event.ADDED_TO_STAGE, function(_) listen());
    if (root.stage != null) listen();
  }

  static function listen() {
    var stage = flash.Lib.current.stage;
    stage.addEventListener(MouseEvent.MOUSE_MOVE, function(_) lastMove = flash.Lib.getTimer());
    stage.addEventListener(KeyboardEvent.KEY_DOWN, onKey);
  }

  static function width() return flash.Lib.current.stage.stageWidth;

  static function onPress(e:MouseEvent) {
    if (player == null) return;
    var x = bar.mouseX, w = width();
    var s:Dynamic = player.state();
    if (x < SEEK_X) {
      player.toggle();
    } else if (x > w - VOLUME_W - 6) {
      player.setVolume(Math.round(Math.max(0, Math.min(1, (x - (w - VOLUME_W - 6)) / VOLUME_W)) * 100));
    } else if (s.duration > 0) {
      var seekW = w - SEEK_X - VOLUME_W - CLOCK_W - 12;
      player.seek((x - SEEK_X) / seekW * s.duration);
    }
  }

  static function onKey(e:KeyboardEvent) {
    if (player == null) return;
    var s:Dynamic = player.state();
    switch (e.keyCode) {
      case 32: player.toggle();
      case 37: player.seek(s.time - 5);
      case 39: player.seek(s.time + 5);
      case 38: player.setVolume(s.volume + 10);
      case 40: player.setVolume(s.volume - 10);
      default: return;
    }
    lastMove = flash.Lib.getTimer();
  }

  static function clockText(t:Float) {
    var s = Std.int(t);
    var sec = s % 60;
    return Std.int(s / 60) + ":" + (sec < 10 ? "0" : "") + sec;
  }

  static function draw() {
    var stage = flash.Lib.current.stage;
    var w = width();
    bar.y = stage.stageHeight - HEIGHT;
    bar.visible = player != null && flash.Lib.getTimer() - lastMove < 2000;
    if (!bar.visible) return;
    var s:Dynamic = player.state();
    var g = bar.graphics;
    g.clear();
    g.beginFill(0x000000, 0.6);
    g.drawRect(0, 0, w, HEIGHT);
    g.endFill();

    g = button.graphics;
    g.clear();
    g.beginFill(0xFFFFFF);
    if (s.paused) {
      g.moveTo(12, 7);
      g.lineTo(24, 14);
      g.lineTo(12, 21);
    } else {
      g.drawRect(11, 7, 4, 14);
      g.drawRect(19, 7, 4, 14);
    }
    g.endFill();

    var seekW = w - SEEK_X - VOLUME_W - CLOCK_W - 12;
    g = seek.graphics;
    g.clear();
    g.beginFill(0x555555);
    g.drawRect(SEEK_X, 11, seekW, 6);
    g.beginFill(0x999999);
    g.drawRect(SEEK_X, 11, seekW * Math.min(1, s.loaded), 6);
    g.beginFill(0x33AAFF);
    g.drawRect(SEEK_X, 11, s.duration > 0 ? seekW * Math.min(1, s.time / s.duration) : 0, 6);
    g.endFill();

    clock.x = SEEK_X + seekW + 6;
    clock.y = 6;
    clock.width = CLOCK_W;
    clock.height = 18;
    clock.text = clockText(s.time) + " / " + clockText(s.duration);

    g = volumeBar.graphics;
    g.clear();
    var vx = w - VOLUME_W - 6;
    g.beginFill(0x555555);
    g.drawRect(vx, 11, VOLUME_W, 6);
    g.beginFill(0xFFFFFF);
    g.drawRect(vx, 11, VOLUME_W * s.volume / 100, 6);
    g.endFill();
  }
}
