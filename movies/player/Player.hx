// The video player movie: the player exe scripts it through four
// ExternalInterface calls (volume, skin, video, play), each with one string
// argument or none. It plays one FLV progressively, scaled to the stage and
// letterboxed, and lends the skin a small control object.
import flash.display.Loader;
import flash.display.Sprite;
import flash.display.StageAlign;
import flash.display.StageScaleMode;
import flash.events.Event;
import flash.events.IOErrorEvent;
import flash.events.NetStatusEvent;
import flash.external.ExternalInterface;
import flash.media.SoundTransform;
import flash.media.Video;
import flash.net.NetConnection;
import flash.net.NetStream;
import flash.net.URLRequest;
import flash.system.ApplicationDomain;
import flash.system.LoaderContext;

class Player {
  static var root:Sprite;
  static var video:Video;
  static var stream:NetStream;
  static var skin:Loader;
  static var url:String = null;
  static var volume = 100;
  static var duration = 0.0;
  static var frameW = 0.0;
  static var frameH = 0.0;
  static var paused = true;
  static var started = false;

  // Runs on the first frame (the build tells Haxe's start-up not to wait for
  // a sized stage): the exe calls the callbacks as soon as the movie is in.
  static function main() {
    if (ExternalInterface.available) {
      ExternalInterface.addCallback("FLVSetVolume", function(v:String) setVolume(Std.parseInt(v), false));
      ExternalInterface.addCallback("FLVSetSkin", loadSkin);
      ExternalInterface.addCallback("FLVSetVideo", function(u:String) url = u);
      ExternalInterface.addCallback("FLVplay", play);
    }
    root = flash.Lib.current;
    var stage = root.stage;
    stage.scaleMode = StageScaleMode.NO_SCALE;
    stage.align = StageAlign.TOP_LEFT;
    var connection = new NetConnection();
    connection.connect(null);
    stream = new NetStream(connection);
    stream.bufferTime = 1;
    stream.client = {onMetaData: onMetaData};
    stream.addEventListener(NetStatusEvent.NET_STATUS, onStatus);
    stream.addEventListener(IOErrorEvent.IO_ERROR, function(_) {});
    video = new Video();
    video.smoothing = true;
    video.attachNetStream(stream);
    root.addChild(video);
    skin = new Loader();
    skin.contentLoaderInfo.addEventListener(IOErrorEvent.IO_ERROR, function(_) {});
    skin.contentLoaderInfo.addEventListener(Event.INIT, function(_) attachSkin());
    root.addChild(skin);
    stage.addEventListener(Event.RESIZE, function(_) layout());
    layout();
  }

  // In a domain of its own: its classes (the same library, trimmed otherwise)
  // must not resolve to ours.
  static function loadSkin(u:String) {
    skin.load(new URLRequest(u), new LoaderContext(false, new ApplicationDomain(null)));
  }

  static function onMetaData(m:Dynamic) {
    if (m.duration != null) duration = m.duration;
    if (m.width != null) frameW = m.width;
    if (m.height != null) frameH = m.height;
    layout();
  }

  static function onStatus(e:NetStatusEvent) {
    var code:String = e.info.code;
    // At the end: back to the first frame, paused, ready to play again.
    if (code == "NetStream.Play.Stop") {
      paused = true;
      stream.pause();
      stream.seek(0);
    }
    if (video.videoWidth > 0 && frameW == 0) layout();
  }

  // Scaled to fit the stage, centred: bars where the shapes differ.
  static function layout() {
    var sw = root.stage.stageWidth, sh = root.stage.stageHeight;
    // A stage not sized yet: the resize event comes when it is.
    if (sw <= 0 || sh <= 0) return;
    var w = frameW > 0 ? frameW : video.videoWidth, h = frameH > 0 ? frameH : video.videoHeight;
    if (w <= 0 || h <= 0) {
      w = sw;
      h = sh;
    }
    var k = Math.min(sw / w, sh / h);
    video.width = w * k;
    video.height = h * k;
    video.x = (sw - video.width) / 2;
    video.y = (sh - video.height) / 2;
  }

  static function play() {
    if (url == null) return;
    if (!started) {
      started = true;
      stream.play(url);
    } else {
      stream.resume();
    }
    paused = false;
  }

  // The skin's changes are the user's: the exe saves them.
  static function setVolume(v:Null<Int>, fromUser:Bool) {
    if (v == null) return;
    volume = v < 0 ? 0 : v > 100 ? 100 : v;
    stream.soundTransform = new SoundTransform(volume / 100);
    if (fromUser) flash.Lib.fscommand("volume", Std.string(volume));
  }

  // The skin's class Skin takes the control object; any other movie as a
  // skin is only shown.
  static function attachSkin() {
    var domain = skin.contentLoaderInfo.applicationDomain;
    if (!domain.hasDefinition("Skin")) return;
    var skinClass:Dynamic = domain.getDefinition("Skin");
    skinClass.attachPlayer({
      state: function() return {
        time: stream.time, duration: duration, paused: paused, volume: volume,
        loaded: stream.bytesTotal > 0 ? stream.bytesLoaded / stream.bytesTotal : 0.0
      },
      toggle: function() {
        if (paused) play() else {
          stream.pause();
          paused = true;
        }
      },
      seek: function(t:Float) stream.seek(Math.max(0, duration > 0 ? Math.min(t, duration) : t)),
      setVolume: function(v:Int) setVolume(v, true)
    });
  }
}
